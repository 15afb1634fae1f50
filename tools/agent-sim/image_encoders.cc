#include "image_encoders.h"

#include <png.h>
#include <turbojpeg.h>
#include <webp/decode.h>
#include <webp/encode.h>
#include <zlib.h>

#include <cstring>

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
