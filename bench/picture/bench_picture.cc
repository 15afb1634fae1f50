// One 1920 x 1080 frame of 64 x 64 tiles applied to the session picture, per encoding,
// against decoding the same tiles directly with the underlying decoder in the same run
// (for raw tiles: copying their rows). The "ratio" column is ours over the reference;
// lower is better.

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <webp/decode.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "thread_cpu_time.h"
#include "unstreamed_buffer.h"

#include "codec/bmp_image.h"
#include "codec/system_image_codec.h"
#include "image_encoders.h"
#include "protocol/session_picture.h"
#include "protocol/tile_decompression.h"
#include "tile_encoder.h"
#include "video_messages.h"

namespace stv {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kTileSide = 64;

struct FrameTile {
  int x, y, w, h;
  Bytes payload;  // encoded pixels
  Bytes message;  // the Tile message carrying them
};

// Desktop-like content: flat panels with a few colours of "text", plus a photographic
// gradient with noise where the tile lies in the right half.
Bytes TilePixels(int x0, int y0, int w, int h) {
  Bytes pixels(static_cast<size_t>(w) * h * 4);
  uint32_t noise = static_cast<uint32_t>(x0 * 7919 + y0 * 104729 + 1);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &pixels[(static_cast<size_t>(y) * w + x) * 4];
      const int gx = x0 + x;
      const int gy = y0 + y;
      if (gx < kWidth / 2) {
        const bool ink = ((gx / 3 + gy / 5) % 7 == 0) && (gy % 16 < 11);
        p[0] = ink ? 30 : 240;
        p[1] = ink ? 30 : 236;
        p[2] = ink ? 40 : 232;
      } else {
        noise = noise * 1664525 + 1013904223;
        const int n = static_cast<int>(noise >> 28) - 8;
        p[0] = static_cast<uint8_t>(std::clamp(gx / 8 + n, 0, 255));
        p[1] = static_cast<uint8_t>(std::clamp(gy / 5 + n, 0, 255));
        p[2] = static_cast<uint8_t>(std::clamp((gx + gy) / 12 + n, 0, 255));
      }
      p[3] = 255;
    }
  }
  return pixels;
}

// The Tile message carrying `tile`, as the agent builds it.
Bytes TileMessage(const FrameTile& tile, TileEncoding encoding) {
  const auto side = [](int value) { return static_cast<uint16_t>(value); };
  return sim::BuildTile(1, {1, side(tile.x), side(tile.y), side(tile.w), side(tile.h), encoding, tile.payload});
}

// A palette payload: the tile's distinct colours (at most 256, else the nearest kept).
Bytes PalettePayload(const Bytes& pixels) {
  std::vector<uint32_t> palette;
  Bytes indexes;
  for (size_t i = 0; i < pixels.size(); i += 4) {
    uint32_t colour;
    std::memcpy(&colour, &pixels[i], 4);
    size_t index = 0;
    while (index < palette.size() && palette[index] != colour) ++index;
    if (index == palette.size()) {
      if (palette.size() == 256)
        index = 0;
      else
        palette.push_back(colour);
    }
    indexes.push_back(static_cast<uint8_t>(index));
  }
  Bytes plain = {static_cast<uint8_t>(palette.size() & 0xFF), static_cast<uint8_t>(palette.size() >> 8)};
  for (uint32_t colour : palette) {
    const uint8_t* c = reinterpret_cast<const uint8_t*>(&colour);
    plain.insert(plain.end(), c, c + 4);
  }
  plain.insert(plain.end(), indexes.begin(), indexes.end());
  return sim::CompressZlib(plain, 6);
}

// A GIF of the tile with its colours cut to 3-3-2 bits, so that it has 256 at most.
Bytes GifOf(const Bytes& pixels, int w, int h) {
  Bytes reduced = pixels;
  for (size_t i = 0; i < reduced.size(); i += 4) {
    reduced[i] &= 0xC0;
    reduced[i + 1] &= 0xE0;
    reduced[i + 2] &= 0xE0;
  }
  const auto palette = sim::BuildPalette(reduced);
  return sim::EncodeGif(palette->colours, palette->indexes, w, h);
}

// Which image format the codec tiles of a frame carry.
enum class ImageFormat { kWebp, kJpeg, kPng, kBmp, kGif, kTiff };

std::vector<FrameTile> MakeFrame(TileEncoding encoding, agent::SystemImageCodec& codec, ImageFormat format) {
  std::vector<FrameTile> tiles;
  for (int y = 0; y < kHeight; y += kTileSide) {
    for (int x = 0; x < kWidth; x += kTileSide) {
      FrameTile tile{x, y, std::min(kTileSide, kWidth - x), std::min(kTileSide, kHeight - y), {}, {}};
      const Bytes pixels = TilePixels(x, y, tile.w, tile.h);
      switch (encoding) {
        case TileEncoding::Raw: tile.payload = pixels; break;
        case TileEncoding::PaletteZlib: tile.payload = PalettePayload(pixels); break;
        default:
          if (format == ImageFormat::kPng)
            tile.payload = sim::EncodePng(pixels, tile.w, tile.h);
          else if (format == ImageFormat::kBmp)
            tile.payload = sim::EncodeBmp(pixels, tile.w, tile.h);
          else if (format == ImageFormat::kTiff)
            tile.payload = sim::EncodeTiff(pixels, tile.w, tile.h);
          else if (format == ImageFormat::kGif)
            tile.payload = GifOf(pixels, tile.w, tile.h);
          else if (format == ImageFormat::kWebp)
            tile.payload = *codec.EncodeWebp(pixels, tile.w, tile.h, 80);
          else
            tile.payload = codec.EncodeJpeg(pixels, tile.w, tile.h, 80);
          break;
      }
      tile.message = TileMessage(tile, encoding);
      tiles.push_back(std::move(tile));
    }
  }
  return tiles;
}

// Times one frame through ApplyVideoMessage and one frame of the reference work in every
// iteration, alternating which goes first, so both see the same load and cache state; the
// machines these run on are shared. The reported time is ours; "ratio" is ours over the
// reference, in thread CPU time.
template <typename Reference>
void CompareFrame(benchmark::State& state, TileEncoding encoding, Reference reference,
                  ImageFormat format = ImageFormat::kWebp) {
  agent::SystemImageCodec codec;
  const std::vector<FrameTile> tiles = MakeFrame(encoding, codec, format);
  SessionPicture picture(&codec);
  const Bytes frameStart = sim::BuildFrameStart(0, true, kWidth, kHeight, 0);
  ApplyVideoMessage(picture, frameStart);
  const auto apply = [&] {
    for (const FrameTile& tile : tiles) ApplyVideoMessage(picture, tile.message);
    benchmark::DoNotOptimize(picture.framebuffer.data());
  };
  const auto bare = [&] { reference(tiles); };

  double ours = 0;
  double theirs = 0;
  bool oursFirst = true;
  for (auto _ : state) {
    const double t0 = ThreadCpuSeconds();
    oursFirst ? apply() : bare();
    const double t1 = ThreadCpuSeconds();
    oursFirst ? bare() : apply();
    const double t2 = ThreadCpuSeconds();
    const double oursNow = oursFirst ? t1 - t0 : t2 - t1;
    ours += oursNow;
    theirs += oursFirst ? t2 - t1 : t1 - t0;
    state.SetIterationTime(oursNow);
    oursFirst = !oursFirst;
  }
  if (picture.tilesPainted != tiles.size() * state.iterations()) state.SkipWithError("a tile failed");
  state.counters["tiles"] = static_cast<double>(tiles.size());
  state.counters["reference_ms"] = theirs * 1e3 / static_cast<double>(state.iterations());
  state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
}

// Raw tiles: the bare work is copying their rows into a framebuffer.
void BM_RawFrame(benchmark::State& state) {
  Bytes framebuffer(static_cast<size_t>(kWidth) * kHeight * 4);
  CompareFrame(state, TileEncoding::Raw, [&](const std::vector<FrameTile>& tiles) {
    for (const FrameTile& tile : tiles) {
      for (int row = 0; row < tile.h; ++row) {
        std::memcpy(&framebuffer[(static_cast<size_t>(tile.y + row) * kWidth + tile.x) * 4],
                    &tile.payload[static_cast<size_t>(row) * tile.w * 4], static_cast<size_t>(tile.w) * 4);
      }
    }
    benchmark::DoNotOptimize(framebuffer.data());
  });
}

void BM_PaletteFrame(benchmark::State& state) {
  Bytes out;
  CompareFrame(state, TileEncoding::PaletteZlib, [&](const std::vector<FrameTile>& tiles) {
    for (const FrameTile& tile : tiles) {
      DecodePaletteTile(tile.payload, tile.w, tile.h, out);
      benchmark::DoNotOptimize(out.data());
    }
  });
}

void BM_WebpFrame(benchmark::State& state) {
  CompareFrame(state, TileEncoding::CodecImage, [](const std::vector<FrameTile>& tiles) {
    for (const FrameTile& tile : tiles) {
      int w = 0;
      int h = 0;
      uint8_t* pixels = WebPDecodeBGRA(tile.payload.data(), tile.payload.size(), &w, &h);
      benchmark::DoNotOptimize(pixels);
      WebPFree(pixels);
    }
  });
}

// JPEG tiles (encoding 4): TurboJPEG decoding each tile straight into one cached buffer.
void BM_JpegFrame(benchmark::State& state) {
  tjhandle handle = tjInitDecompress();
  UnstreamedBuffer out(kTileSide * kTileSide * 4);
  CompareFrame(
      state, TileEncoding::CodecImageAlt,
      [&](const std::vector<FrameTile>& tiles) {
        for (const FrameTile& tile : tiles) {
          tjDecompress2(handle, tile.payload.data(), tile.payload.size(), out.data(), tile.w, tile.w * 4, tile.h,
                        TJPF_BGRA, 0);
          benchmark::DoNotOptimize(out.data());
        }
      },
      ImageFormat::kJpeg);
  tjDestroy(handle);
}

// PNG tiles: libpng's own simplest decode (its simplified API) into one cached buffer.
void BM_PngFrame(benchmark::State& state) {
  Bytes out(kTileSide * kTileSide * 4);
  CompareFrame(
      state, TileEncoding::CodecImage,
      [&](const std::vector<FrameTile>& tiles) {
        for (const FrameTile& tile : tiles) {
          png_image image{};
          image.version = PNG_IMAGE_VERSION;
          png_image_begin_read_from_memory(&image, tile.payload.data(), tile.payload.size());
          image.format = PNG_FORMAT_BGRA;
          png_image_finish_read(&image, nullptr, out.data(), 0, nullptr);
          benchmark::DoNotOptimize(out.data());
        }
      },
      ImageFormat::kPng);
}

// BMP tiles: our own reader is the library, so the bare work is its decode alone, without
// the message, the picture and the codec's dispatch around it.
void BM_BmpFrame(benchmark::State& state) {
  stv::TilePixels out;
  CompareFrame(
      state, TileEncoding::CodecImageAlt,
      [&](const std::vector<FrameTile>& tiles) {
        for (const FrameTile& tile : tiles) {
          agent::DecodeBmpTopLeft(tile.payload, tile.w, tile.h, out);
          benchmark::DoNotOptimize(out.data());
        }
      },
      ImageFormat::kBmp);
}

// GIF tiles: giflib's simplest decode, DGifSlurp over the bytes in memory, then its indexes
// looked up in the colour map into one cached B, G, R, A buffer, the output the codec gives.
struct GifSource {
  const Bytes* bytes;
  size_t offset;
};

int ReadGif(GifFileType* gif, GifByteType* buffer, int size) {
  auto& source = *static_cast<GifSource*>(gif->UserData);
  const size_t count = std::min(static_cast<size_t>(size), source.bytes->size() - source.offset);
  std::memcpy(buffer, source.bytes->data() + source.offset, count);
  source.offset += count;
  return static_cast<int>(count);
}

void BM_GifFrame(benchmark::State& state) {
  Bytes out(kTileSide * kTileSide * 4);
  CompareFrame(
      state, TileEncoding::CodecImageAlt,
      [&](const std::vector<FrameTile>& tiles) {
        for (const FrameTile& tile : tiles) {
          GifSource source{&tile.payload, 0};
          int error = 0;
          GifFileType* gif = DGifOpen(&source, ReadGif, &error);
          DGifSlurp(gif);
          const GifColorType* colours = gif->SColorMap->Colors;
          const GifByteType* indexes = gif->SavedImages[0].RasterBits;
          for (int i = 0; i < tile.w * tile.h; ++i) {
            const GifColorType& colour = colours[indexes[i]];
            out[i * 4] = colour.Blue;
            out[i * 4 + 1] = colour.Green;
            out[i * 4 + 2] = colour.Red;
            out[i * 4 + 3] = 255;
          }
          benchmark::DoNotOptimize(out.data());
          DGifCloseFile(gif, &error);
        }
      },
      ImageFormat::kGif);
}

// TIFF tiles: libtiff's simplest decode, TIFFReadRGBAImageOriented into one cached buffer.
struct TiffSource {
  const Bytes* bytes;
  uint64_t offset;
};

tsize_t ReadTiff(thandle_t handle, tdata_t data, tsize_t size) {
  auto& source = *static_cast<TiffSource*>(handle);
  const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(size), source.bytes->size() - source.offset);
  std::memcpy(data, source.bytes->data() + source.offset, count);
  source.offset += count;
  return static_cast<tsize_t>(count);
}
tsize_t WriteTiff(thandle_t, tdata_t, tsize_t) { return 0; }
toff_t SeekTiff(thandle_t handle, toff_t offset, int whence) {
  auto& source = *static_cast<TiffSource*>(handle);
  const uint64_t base = whence == SEEK_CUR ? source.offset : whence == SEEK_END ? source.bytes->size() : 0;
  source.offset = std::min<uint64_t>(base + offset, source.bytes->size());
  return source.offset;
}
int CloseTiff(thandle_t) { return 0; }
toff_t SizeTiff(thandle_t handle) { return static_cast<TiffSource*>(handle)->bytes->size(); }

// libtiff's simplest decode of one tile, packed R | G << 8 | B << 16 | A << 24.
void ReadTiffTile(const FrameTile& tile, std::vector<uint32_t>& out) {
  TiffSource source{&tile.payload, 0};
  TIFF* tiff =
      TIFFClientOpen("tile", "r", &source, ReadTiff, WriteTiff, SeekTiff, CloseTiff, SizeTiff, nullptr, nullptr);
  TIFFReadRGBAImageOriented(tiff, static_cast<uint32_t>(tile.w), static_cast<uint32_t>(tile.h), out.data(),
                            ORIENTATION_TOPLEFT, 0);
  TIFFClose(tiff);
}

void BM_TiffFrame(benchmark::State& state) {
  std::vector<uint32_t> out(kTileSide * kTileSide);
  CompareFrame(
      state, TileEncoding::CodecImageAlt,
      [&](const std::vector<FrameTile>& tiles) {
        for (const FrameTile& tile : tiles) {
          ReadTiffTile(tile, out);
          benchmark::DoNotOptimize(out.data());
        }
      },
      ImageFormat::kTiff);
}

// The same image tiles against a bare decode straight into their place in a 1920 x 1080
// picture: what showing them costs a viewer that skips parsing, checks and the scratch copy
// (and so cannot leave the picture untouched when a tile fails halfway). Writing 8 MB of
// framebuffer a frame is part of both sides here.
void BM_WebpFrameIntoPicture(benchmark::State& state) {
  Bytes framebuffer(static_cast<size_t>(kWidth) * kHeight * 4);
  CompareFrame(state, TileEncoding::CodecImage, [&](const std::vector<FrameTile>& tiles) {
    for (const FrameTile& tile : tiles) {
      uint8_t* target = &framebuffer[(static_cast<size_t>(tile.y) * kWidth + tile.x) * 4];
      WebPDecodeBGRAInto(tile.payload.data(), tile.payload.size(), target,
                         framebuffer.size() - static_cast<size_t>(target - framebuffer.data()), kWidth * 4);
    }
    benchmark::DoNotOptimize(framebuffer.data());
  });
}

void BM_JpegFrameIntoPicture(benchmark::State& state) {
  tjhandle handle = tjInitDecompress();
  Bytes framebuffer(static_cast<size_t>(kWidth) * kHeight * 4);
  CompareFrame(
      state, TileEncoding::CodecImageAlt,
      [&](const std::vector<FrameTile>& tiles) {
        for (const FrameTile& tile : tiles) {
          tjDecompress2(handle, tile.payload.data(), tile.payload.size(),
                        &framebuffer[(static_cast<size_t>(tile.y) * kWidth + tile.x) * 4], tile.w, kWidth * 4, tile.h,
                        TJPF_BGRA, 0);
        }
        benchmark::DoNotOptimize(framebuffer.data());
      },
      ImageFormat::kJpeg);
  tjDestroy(handle);
}

// BMP: our reader straight into the picture, as the codec does, without the message.
void BM_BmpFrameIntoPicture(benchmark::State& state) {
  Bytes framebuffer(static_cast<size_t>(kWidth) * kHeight * 4);
  stv::TilePixels scratch;
  CompareFrame(
      state, TileEncoding::CodecImageAlt,
      [&](const std::vector<FrameTile>& tiles) {
        for (const FrameTile& tile : tiles) {
          agent::DecodeBmpInto(tile.payload, tile.w, tile.h,
                               &framebuffer[(static_cast<size_t>(tile.y) * kWidth + tile.x) * 4], kWidth * 4, scratch);
        }
        benchmark::DoNotOptimize(framebuffer.data());
      },
      ImageFormat::kBmp);
}

// TIFF: libtiff's RGBA pixels cannot be written with a stride, so the least a libtiff user
// does is decode into a cached buffer and place each row, turned to B, G, R, A, in the picture.
void BM_TiffFrameIntoPicture(benchmark::State& state) {
  std::vector<uint32_t> out(kTileSide * kTileSide);
  Bytes framebuffer(static_cast<size_t>(kWidth) * kHeight * 4);
  CompareFrame(
      state, TileEncoding::CodecImageAlt,
      [&](const std::vector<FrameTile>& tiles) {
        for (const FrameTile& tile : tiles) {
          ReadTiffTile(tile, out);
          for (int y = 0; y < tile.h; ++y) {
            uint8_t* row = &framebuffer[(static_cast<size_t>(tile.y + y) * kWidth + tile.x) * 4];
            for (int x = 0; x < tile.w; ++x) {
              const uint32_t pixel = out[static_cast<size_t>(y) * tile.w + x];
              const uint8_t bgra[4] = {uint8_t(pixel >> 16), uint8_t(pixel >> 8), uint8_t(pixel), uint8_t(pixel >> 24)};
              std::memcpy(row + 4 * x, bgra, 4);
            }
          }
        }
        benchmark::DoNotOptimize(framebuffer.data());
      },
      ImageFormat::kTiff);
}

BENCHMARK(BM_RawFrame)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaletteFrame)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WebpFrame)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegFrame)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngFrame)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpFrame)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GifFrame)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffFrame)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WebpFrameIntoPicture)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegFrameIntoPicture)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpFrameIntoPicture)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffFrameIntoPicture)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace stv

BENCHMARK_MAIN();
