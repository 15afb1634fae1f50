// GIF, TIFF and JPEG XR tiles against ImageMagick's reading of the same files (JxrDecApp's for
// JPEG XR), made at test time in each variant the decoders meet; then hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/gif_image.h"
#include "codec/jxr_decoder_process.h"
#include "codec/system_image_codec.h"
#include "codec/tiff_image.h"
#include "decode_both_ways.h"
#include "support/child_process.h"

namespace stv::agent {
namespace {

using Bytes = std::vector<uint8_t>;
using Decoder = bool (*)(std::span<const uint8_t>, int, int, TilePixels&);

// Odd sides: partial strips, tiles, macroblocks and interlace passes.
constexpr int kWidth = 37, kHeight = 29;

// Each variant (a script writing x.<ext> from src.png, opaque, or srca.png, with alpha) decoded
// whole against the reference, exactly unless a `tolerance` is given (JPEG in TIFF matches
// exactly too, as the same libraries decode it); its top-left corner alone, a tile larger than
// the image and the file cut to a third.
void CheckVariants(Decoder decode, const std::string& ext, const std::string& reference,
                   const std::vector<std::string>& variants, int tolerance = 0) {
  if (!testing::ProgramOnPath("convert")) GTEST_SKIP() << "ImageMagick's convert is not installed";
  const testing::TempDir dir;
  auto run = [&](const std::string& script) {
    return testing::RunShell("cd '" + dir.path().string() + "' && " + script).exitCode == 0;
  };
  ASSERT_TRUE(
      run("convert -size 37x29 -seed 7 plasma:fractal -depth 8 src.png && convert src.png "
          "\\( -size 37x29 gradient:white-black \\) -alpha off -compose CopyOpacity -composite srca.png"));
  for (const std::string& make : variants) {
    SCOPED_TRACE(make);
    ASSERT_TRUE(run("rm -f x.* r.* && " + make + " && " + reference));
    const Bytes image = testing::ReadFileBytes(dir / ("x." + ext));
    const Bytes expected = testing::ReadFileBytes(dir / "r.raw");
    TilePixels out;
    ASSERT_TRUE(decode(image, kWidth, kHeight, out));
    ASSERT_EQ(out.size(), expected.size());
    int largest = 0;
    for (size_t i = 0; i < out.size(); ++i) largest = std::max(largest, std::abs(out[i] - expected[i]));
    EXPECT_LE(largest, tolerance);
    const TilePixels whole = out;
    ASSERT_TRUE(decode(image, 20, 9, out));
    for (int y = 0; y < 9; ++y) {
      EXPECT_TRUE(std::equal(out.begin() + y * 80, out.begin() + y * 80 + 80, whole.begin() + y * kWidth * 4));
    }
    EXPECT_FALSE(decode(image, kWidth + 1, kHeight, out));
    EXPECT_FALSE(decode(std::span(image).first(image.size() / 3), kWidth, kHeight, out));
  }
}

// Interlaced or not, a transparent colour, the first of two frames, a frame smaller than its
// screen at an offset (the rest transparent, as in ImageMagick's coalesced frame).
TEST(GifTiffJxrTest, GifMatchesImageMagick) {
  CheckVariants(DecodeGifTopLeft, "gif", "convert 'x.gif[0]' -coalesce -depth 8 BGRA:r.raw",
                {"convert src.png -colors 64 x.gif", "convert src.png -colors 64 -interlace GIF x.gif",
                 "convert srca.png -colors 32 x.gif", "convert src.png \\( srca.png -negate \\) -colors 64 x.gif",
                 "convert src.png -crop 20x15+9+7 -colors 64 x.gif"});
}

bool DecodeTiff(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  return DecodeBothWays(DecodeTiffTopLeft, DecodeTiffInto, image, width, height, out);
}

// RGB, RGBA (unassociated and associated), gray and palette in each compression, as strips
// and as tiles. Not RGBA in JPEG: ImageMagick reads that through libtiff's RGBA interface and
// so gets alpha multiplied into the colours, where the decoder keeps it unassociated.
TEST(GifTiffJxrTest, TiffMatchesImageMagick) {
  std::vector<std::string> variants = {"convert srca.png -define tiff:alpha=associated x.tif"};
  for (const char* source : {"src.png -type TrueColor", "srca.png -type TrueColorAlpha", "src.png -type Grayscale",
                             "src.png -type Palette"}) {
    for (const char* compression : {"None", "LZW", "Zip", "RLE", "JPEG"}) {
      if (std::string_view(compression) == "JPEG" && std::string_view(source).starts_with("srca")) continue;
      for (const char* layout : {"rows-per-strip=8", "tile-geometry=16x16"}) {
        variants.push_back(std::string("convert ") + source + " -compress " + compression + " -define tiff:" + layout +
                           " x.tif");
      }
    }
  }
  CheckVariants(DecodeTiff, "tif", "convert x.tif -depth 8 BGRA:r.raw", variants);
}

const std::string kJxrDecoder = std::string(STV_BINARY_DIR) + "/src/app/stv-jxr-decode";

// Through the codec as the viewer has it, JPEG XR in this build's decoder process.
bool DecodeThroughCodec(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  static SystemImageCodec codec(true, kJxrDecoder);
  return codec.Decode(image, width, height, out);
}

// PNG at every depth, gray and palette, with alpha, interlaced. ImageMagick narrows 16-bit
// samples rounding down, the decoder to the nearest (as libpng's accurate scaling does): adding
// half a step first makes ImageMagick round too.
TEST(GifTiffJxrTest, PngMatchesImageMagick) {
  CheckVariants(DecodeThroughCodec, "png", "convert x.png -channel RGB -evaluate add 128 +channel -depth 8 BGRA:r.raw",
                {"convert src.png -depth 16 x.png", "convert srca.png -depth 16 x.png",
                 "convert src.png -colorspace Gray -depth 16 x.png",
                 "convert srca.png -colorspace Gray -depth 16 x.png", "convert src.png -colorspace Gray -depth 2 x.png",
                 "convert src.png -monochrome x.png", "convert src.png -colors 16 png8:x.png",
                 "convert srca.png -colors 64 png8:x.png", "convert srca.png -interlace PNG x.png"});
}

// Baseline, progressive, restart markers, gray, and CMYK: ImageMagick writes its inks as YCCK;
// with the Adobe marker's transform set to 0 the same components read as plain CMYK.
TEST(GifTiffJxrTest, JpegMatchesImageMagick) {
  const std::string cmyk = "convert src.png -quality 95 -colorspace CMYK x.jpg";
  CheckVariants(DecodeThroughCodec, "jpg", "convert x.jpg -depth 8 BGRA:r.raw",
                {"convert src.png -quality 90 x.jpg", "convert src.png -quality 90 -interlace JPEG x.jpg",
                 "convert src.png -quality 90 -define jpeg:restart-interval=1 x.jpg",
                 "convert src.png -quality 90 -colorspace Gray x.jpg", cmyk,
                 cmyk + " && [ $(od -An -tu1 -j17 -N1 x.jpg) = 2 ] && printf '\\000' | dd of=x.jpg bs=1 seek=17 "
                        "conv=notrunc status=none"},
                2);
}

// Lossless and lossy BGR and BGRA (alpha as a plane), gray.
TEST(GifTiffJxrTest, JxrMatchesJxrDecApp) {
  if (!testing::ProgramOnPath("JxrEncApp")) GTEST_SKIP() << "libjxr's tools are not installed";
  const std::string bgr = "convert src.png -type TrueColor s.bmp && JxrEncApp -i s.bmp -o x.jxr -c 0 ";
  const std::string bgra = "convert srca.png -compress none s.tif && JxrEncApp -i s.tif -o x.jxr -c 22 -a 2 ";
  CheckVariants(DecodeThroughCodec, "jxr",
                "JxrDecApp -i x.jxr -o r.tif >/dev/null && convert r.tif -depth 8 BGRA:r.raw",
                {bgr + "-q 1", bgr + "-q 0.7", bgra + "-q 1", bgra + "-q 0.9",
                 "convert src.png -type Grayscale s.pgm && JxrEncApp -i s.pgm -o x.jxr -c 2"});
}

void PutLittleEndian(Bytes& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> 8 * i));
}

// A one-frame GIF on a 2-colour global map, every pixel `index`. Its LZW data puts a clear
// code before each pixel, so every code has 3 bits.
Bytes MakeGif(int screen, int left, int side, uint8_t index) {
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a'};
  PutLittleEndian(gif, screen, 2);
  PutLittleEndian(gif, screen, 2);
  gif.insert(gif.end(), {0x80, 0, 0, 10, 20, 30, 40, 50, 60, ','});
  for (int value : {left, 0, side, side}) PutLittleEndian(gif, value, 2);
  Bytes data;
  uint32_t bits = 0, count = 0;
  for (int code = 0; code <= side * side * 2; ++code) {
    bits |= uint32_t(code == side * side * 2 ? 5 : code % 2 == 0 ? 4 : index) << count;
    for (count += 3; count >= 8; count -= 8, bits >>= 8) data.push_back(uint8_t(bits));
  }
  if (count > 0) data.push_back(uint8_t(bits));
  gif.insert(gif.end(), {0, 2, uint8_t(data.size())});
  gif.insert(gif.end(), data.begin(), data.end());
  gif.insert(gif.end(), {0, ';'});
  return gif;
}

// An uncompressed 4 x 4 RGB TIFF in one strip, its directory before the pixels.
Bytes MakeTiff(uint32_t side, uint32_t stripOffset) {
  Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0, 9, 0};
  const uint32_t entries[9][2] = {{256, side},        {257, side}, {258, 8}, {259, 1}, {262, 2},
                                  {273, stripOffset}, {277, 3},    {278, 4}, {279, 48}};
  for (const auto& [tag, value] : entries) {
    PutLittleEndian(tiff, tag, 2);
    PutLittleEndian(tiff, 4, 2);  // LONG
    PutLittleEndian(tiff, 1, 4);
    PutLittleEndian(tiff, value, 4);
  }
  PutLittleEndian(tiff, 0, 4);
  tiff.resize(tiff.size() + 48, 0x7F);
  return tiff;
}

// A JPEG XR container whose directory gives `transformation` and places an 11-byte coded
// image: its signature and the start of a header with these `flags`.
Bytes MakeJxr(uint32_t transformation, uint8_t flags) {
  Bytes jxr = {'I', 'I', 0xBC, 1, 8, 0, 0, 0, 3, 0};
  for (const auto& [tag, value] : {std::pair{0xBC02u, transformation}, {0xBCC0u, 50u}, {0xBCC1u, 11u}}) {
    for (uint32_t field : {tag, 4u}) PutLittleEndian(jxr, field, 2);
    for (uint32_t field : {1u, value}) PutLittleEndian(jxr, field, 4);
  }
  PutLittleEndian(jxr, 0, 4);
  jxr.insert(jxr.end(), {'W', 'M', 'P', 'H', 'O', 'T', 'O', 0, 0x11, 0x45, flags});
  return jxr;
}

TEST(GifTiffJxrTest, HostileFilesFail) {
  const Bytes gif = MakeGif(4, 0, 4, 1);
  const Bytes tiff = MakeTiff(4, 122);
  TilePixels out;
  ASSERT_TRUE(DecodeGifTopLeft(gif, 4, 4, out));
  EXPECT_EQ(out[0], 60);
  ASSERT_TRUE(DecodeTiffTopLeft(tiff, 4, 4, out));
  EXPECT_EQ(out[0], 0x7F);

  const struct {
    const char* name;
    Decoder decode;
    Bytes image;
  } cases[] = {
      {"GIF frame outside its screen", DecodeGifTopLeft, MakeGif(4, 1, 4, 1)},
      {"GIF 60000 x 60000 screen", DecodeGifTopLeft, MakeGif(60000, 0, 4, 1)},
      {"GIF index past the colour map", DecodeGifTopLeft, MakeGif(4, 0, 4, 2)},
      {"GIF LZW cut short", DecodeGifTopLeft, Bytes(gif.begin(), gif.end() - 6)},
      {"TIFF strip offset past the end", DecodeTiff, MakeTiff(4, 171)},
      {"TIFF 60000 x 60000", DecodeTiff, MakeTiff(60000, 122)},
      {"TIFF cut short", DecodeTiff, Bytes(tiff.begin(), tiff.end() - 1)},
      {"JPEG XR header alone", DecodeThroughCodec, Bytes{'I', 'I', 0xBC, 1, 32, 0, 0, 0}},
      {"JPEG XR without an image", DecodeThroughCodec, MakeJxr(0, 0xC0)},
      {"JPEG XR transformation past the last (libjxr asserts)", DecodeThroughCodec, MakeJxr(8, 0xC0)},
      {"JPEG XR interleaved alpha (libjxr leaks its decoder)", DecodeThroughCodec, MakeJxr(0, 0xC1)},
  };
  for (const auto& c : cases) EXPECT_FALSE(c.decode(c.image, 4, 4, out)) << c.name;
}

// libjxr crashes on this tile whatever is checked before it: the decoder process dies, the tile
// fails, and the next JPEG XR tile gets a new process. So does a decoder that answers nonsense
// (cat echoes the request) or hangs; one that cannot start fails every tile.
TEST(GifTiffJxrTest, DecoderProcessFaultsCostOneTile) {
  const Bytes crashing = testing::ReadFileBytes(std::string(STV_SOURCE_DIR) +
                                                "/fuzz/regressions/fuzz_codec/jxr-significant-run-past-its-table");
  ASSERT_GT(crashing.size(), 2u);
  const std::span<const uint8_t> tile = std::span(crashing).subspan(2);
  const Bytes gray = testing::ReadFileBytes(std::string(STV_SOURCE_DIR) + "/fuzz/corpus/fuzz_codec/jxr-gray");
  ASSERT_GT(gray.size(), 2u);
  const std::span<const uint8_t> good = std::span(gray).subspan(2);
  const int width = 1 + gray[0] % 64, height = 1 + gray[1] % 64;

  TilePixels out;
  JxrDecoderProcess decoder(kJxrDecoder);
  for (int round = 0; round < 2; ++round) {
    EXPECT_FALSE(decoder.Decode(tile, 1 + crashing[0] % 64, 1 + crashing[1] % 64, out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(decoder.Decode(good, width, height, out));
  }
  const testing::TempDir dir;
  ASSERT_EQ(testing::RunShell("printf '#!/bin/sh\\nexec sleep 30\\n' > '" + (dir / "hang") + "' && chmod +x '" +
                              (dir / "hang") + "'")
                .exitCode,
            0);
  for (const std::string& path : {std::string("/bin/cat"), dir / "hang", dir / "missing"}) {
    JxrDecoderProcess broken(path);
    EXPECT_FALSE(broken.Decode(good, width, height, out)) << path;
  }
}

}  // namespace
}  // namespace stv::agent
