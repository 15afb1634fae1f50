#include "image_encoders.h"

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <webp/decode.h>
#include <webp/encode.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"

namespace stv::sim {

std::vector<uint8_t> CompressZlib(std::span<const uint8_t> data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::vector<uint8_t> out(size);
  if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level) != Z_OK) return {};
  out.resize(size);
  return out;
}

namespace {

std::vector<uint8_t> TakeWebp(uint8_t* output, size_t size) {
  std::vector<uint8_t> out;
  if (output != nullptr && size > 0) out.assign(output, output + size);
  WebPFree(output);
  return out;
}

}  // namespace

std::vector<uint8_t> EncodeWebpLossy(std::span<const uint8_t> pixels, int width, int height, int quality) {
  uint8_t* output = nullptr;
  const size_t size = WebPEncodeBGRA(pixels.data(), width, height, width * 4, static_cast<float>(quality), &output);
  return TakeWebp(output, size);
}

std::vector<uint8_t> EncodeWebpLossless(std::span<const uint8_t> pixels, int width, int height) {
  uint8_t* output = nullptr;
  const size_t size = WebPEncodeLosslessBGRA(pixels.data(), width, height, width * 4, &output);
  return TakeWebp(output, size);
}

bool DecodeWebp(std::span<const uint8_t> image, int width, int height, std::vector<uint8_t>& out) {
  int decodedWidth = 0;
  int decodedHeight = 0;
  uint8_t* decoded = WebPDecodeBGRA(image.data(), image.size(), &decodedWidth, &decodedHeight);
  if (decoded == nullptr) return false;
  const bool fits = decodedWidth == width && decodedHeight == height;
  if (fits) out.assign(decoded, decoded + static_cast<size_t>(width) * height * 4);
  WebPFree(decoded);
  return fits;
}

std::vector<uint8_t> EncodePng(std::span<const uint8_t> pixels, int width, int height) {
  // Three channels: the fourth byte is always 255 on our screens, and a decoder must fill it
  // in again, as it would for any opaque image.
  const size_t count = static_cast<size_t>(width) * height;
  std::vector<uint8_t> bgr(count * 3);
  for (size_t i = 0; i < count; ++i) std::memcpy(&bgr[i * 3], &pixels[i * 4], 3);

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_BGR;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, bgr.data(), 0, nullptr)) {
    png_image_free(&image);
    return {};
  }
  std::vector<uint8_t> out(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, bgr.data(), 0, nullptr)) {
    png_image_free(&image);
    return {};
  }
  out.resize(size);
  return out;
}

namespace {

// A BITMAPINFOHEADER and 24-bit rows from the bottom up, each padded to four bytes.
// `heightField` is the height the header states (an icon states twice the bitmap's).
void AppendDib24(std::vector<uint8_t>& out, std::span<const uint8_t> pixels, int width, int height, int heightField) {
  const uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
  for (const uint32_t field : {40u, static_cast<uint32_t>(width), static_cast<uint32_t>(heightField)}) {
    AppendU32Le(out, field);
  }
  AppendU16Le(out, 1);   // planes
  AppendU16Le(out, 24);  // bits per pixel
  for (const uint32_t field : {0u, stride * static_cast<uint32_t>(height), 2835u, 2835u, 0u, 0u}) {
    AppendU32Le(out, field);
  }
  for (int y = height - 1; y >= 0; --y) {
    const size_t rowStart = out.size();
    for (int x = 0; x < width; ++x) {
      const uint8_t* pixel = &pixels[(static_cast<size_t>(y) * width + x) * 4];
      out.insert(out.end(), pixel, pixel + 3);
    }
    out.resize(rowStart + stride, 0);
  }
}

}  // namespace

std::vector<uint8_t> EncodeBmp(std::span<const uint8_t> pixels, int width, int height) {
  std::vector<uint8_t> out = {'B', 'M'};
  AppendU32Le(out, 0);   // the file size, filled in below
  AppendU32Le(out, 0);   // reserved
  AppendU32Le(out, 54);  // where the pixels start
  AppendDib24(out, pixels, width, height, height);
  const auto size = static_cast<uint32_t>(out.size());
  for (int i = 0; i < 4; ++i) out[2 + i] = static_cast<uint8_t>(size >> (8 * i));
  return out;
}

std::vector<uint8_t> EncodeIco(std::span<const uint8_t> pixels, int width, int height) {
  if (width > 256 || height > 256) return {};
  std::vector<uint8_t> image;
  AppendDib24(image, pixels, width, height, 2 * height);
  const size_t maskStride = ((static_cast<size_t>(width) + 31) / 32) * 4;
  image.resize(image.size() + maskStride * static_cast<size_t>(height), 0);  // every pixel opaque

  std::vector<uint8_t> out;
  AppendU16Le(out, 0);                         // reserved
  AppendU16Le(out, 1);                         // an icon
  AppendU16Le(out, 1);                         // one image
  out.push_back(static_cast<uint8_t>(width));  // 256 is written as 0
  out.push_back(static_cast<uint8_t>(height));
  out.push_back(0);     // no palette
  out.push_back(0);     // reserved
  AppendU16Le(out, 1);  // planes
  AppendU16Le(out, 24);
  AppendU32Le(out, static_cast<uint32_t>(image.size()));
  AppendU32Le(out, 22);  // the image follows this one entry
  out.insert(out.end(), image.begin(), image.end());
  return out;
}

namespace {

// A TIFF file growing in memory, for libtiff's client procedures.
struct MemoryFile {
  std::vector<uint8_t> bytes;
  uint64_t position = 0;
};

tsize_t MemoryRead(thandle_t, tdata_t, tsize_t) { return 0; }  // written, never read back

tsize_t MemoryWrite(thandle_t handle, tdata_t data, tsize_t size) {
  auto& file = *static_cast<MemoryFile*>(handle);
  const auto end = file.position + static_cast<uint64_t>(size);
  if (end > file.bytes.size()) file.bytes.resize(end);
  std::memcpy(file.bytes.data() + file.position, data, static_cast<size_t>(size));
  file.position = end;
  return size;
}

toff_t MemorySeek(thandle_t handle, toff_t offset, int whence) {
  auto& file = *static_cast<MemoryFile*>(handle);
  const uint64_t base = whence == SEEK_CUR ? file.position : whence == SEEK_END ? file.bytes.size() : 0;
  file.position = base + offset;
  return file.position;
}

int MemoryClose(thandle_t) { return 0; }
toff_t MemorySize(thandle_t handle) { return static_cast<MemoryFile*>(handle)->bytes.size(); }

}  // namespace

std::vector<uint8_t> EncodeTiff(std::span<const uint8_t> pixels, int width, int height) {
  MemoryFile file;
  TIFF* tiff = TIFFClientOpen("tile", "w", &file, MemoryRead, MemoryWrite, MemorySeek, MemoryClose, MemorySize, nullptr,
                              nullptr);
  if (tiff == nullptr) return {};
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(height));
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  bool written = true;
  for (int y = 0; y < height && written; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint8_t* pixel = &pixels[(static_cast<size_t>(y) * width + x) * 4];
      row[x * 3] = pixel[2];
      row[x * 3 + 1] = pixel[1];
      row[x * 3 + 2] = pixel[0];
    }
    written = TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0) == 1;
  }
  TIFFClose(tiff);  // writes the directory
  return written ? std::move(file.bytes) : std::vector<uint8_t>{};
}

namespace {

int AppendGifBytes(GifFileType* gif, const GifByteType* data, int size) {
  auto& out = *static_cast<std::vector<uint8_t>*>(gif->UserData);
  out.insert(out.end(), data, data + size);
  return size;
}

}  // namespace

std::vector<uint8_t> EncodeGif(std::span<const uint32_t> colours, std::span<const uint8_t> indexes, int width,
                               int height) {
  if (colours.empty() || colours.size() > 256) return {};
  int mapSize = 2;  // GIF colour maps come in powers of two
  while (mapSize < static_cast<int>(colours.size())) mapSize *= 2;
  std::vector<GifColorType> entries(static_cast<size_t>(mapSize), GifColorType{0, 0, 0});
  for (size_t i = 0; i < colours.size(); ++i) {
    entries[i] = GifColorType{static_cast<GifByteType>(colours[i] >> 16), static_cast<GifByteType>(colours[i] >> 8),
                              static_cast<GifByteType>(colours[i])};
  }
  ColorMapObject* map = GifMakeMapObject(mapSize, entries.data());
  std::vector<uint8_t> out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, AppendGifBytes, &error);
  bool written = gif != nullptr && map != nullptr && EGifPutScreenDesc(gif, width, height, 8, 0, map) == GIF_OK &&
                 EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_OK;
  std::vector<GifPixelType> line(static_cast<size_t>(width));
  for (int y = 0; y < height && written; ++y) {
    std::copy_n(indexes.begin() + static_cast<std::ptrdiff_t>(y) * width, width, line.begin());
    written = EGifPutLine(gif, line.data(), width) == GIF_OK;
  }
  if (gif != nullptr && EGifCloseFile(gif, &error) != GIF_OK) written = false;
  GifFreeMapObject(map);
  return written ? out : std::vector<uint8_t>{};
}

JpegCodec::JpegCodec() : compressor_(tjInitCompress()), decompressor_(tjInitDecompress()) {}

JpegCodec::~JpegCodec() {
  if (compressor_ != nullptr) tjDestroy(compressor_);
  if (decompressor_ != nullptr) tjDestroy(decompressor_);
}

std::vector<uint8_t> JpegCodec::Encode(std::span<const uint8_t> pixels, int width, int height, int quality) {
  if (compressor_ == nullptr) return {};
  unsigned char* output = nullptr;
  unsigned long size = 0;
  const int status = tjCompress2(compressor_, pixels.data(), width, width * 4, height, TJPF_BGRA, &output, &size,
                                 TJSAMP_420, quality, 0);
  std::vector<uint8_t> out;
  if (status == 0 && output != nullptr) out.assign(output, output + size);
  tjFree(output);
  return out;
}

bool JpegCodec::Decode(std::span<const uint8_t> image, int width, int height, std::vector<uint8_t>& out) {
  if (decompressor_ == nullptr) return false;
  int imageWidth = 0;
  int imageHeight = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (tjDecompressHeader3(decompressor_, image.data(), image.size(), &imageWidth, &imageHeight, &subsampling,
                          &colorspace) != 0 ||
      imageWidth != width || imageHeight != height) {
    return false;
  }
  out.resize(static_cast<size_t>(width) * height * 4);
  return tjDecompress2(decompressor_, image.data(), image.size(), out.data(), width, width * 4, height, TJPF_BGRA, 0) ==
         0;
}

}  // namespace stv::sim
