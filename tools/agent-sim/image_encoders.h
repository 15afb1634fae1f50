// The agent's compressors: zlib, WebP, JPEG, PNG, BMP, icon, TIFF, GIF and JPEG XR encoders,
// plus the decoders it needs to know exactly what a viewer will see after a lossy tile. The
// only files that touch those libraries (JPEG XR's in jxr_encoder.cc).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace stv::sim {

// A zlib stream (RFC 1950) of `data`; empty on failure.
std::vector<uint8_t> CompressZlib(std::span<const uint8_t> data, int level);

// B, G, R, X pixels with a stride of width * 4 in, compressed image out; empty on failure.
std::vector<uint8_t> EncodeWebpLossy(std::span<const uint8_t> pixels, int width, int height, int quality);
std::vector<uint8_t> EncodeWebpLossless(std::span<const uint8_t> pixels, int width, int height);
std::vector<uint8_t> EncodePng(std::span<const uint8_t> pixels, int width, int height);
// Lossless containers a system image decoder reads: a 24-bit bottom-up BMP; an icon holding
// such a bitmap with an all-opaque mask; an LZW-compressed RGB TIFF; a lossless BGR JPEG XR;
// a GIF of the tile's
// colours, which must number 256 at most (as little-endian words B | G << 8 | R << 16, each
// pixel an index into them).
std::vector<uint8_t> EncodeBmp(std::span<const uint8_t> pixels, int width, int height);
std::vector<uint8_t> EncodeIco(std::span<const uint8_t> pixels, int width, int height);
std::vector<uint8_t> EncodeTiff(std::span<const uint8_t> pixels, int width, int height);
std::vector<uint8_t> EncodeJxr(std::span<const uint8_t> pixels, int width, int height);
std::vector<uint8_t> EncodeGif(std::span<const uint32_t> colours, std::span<const uint8_t> indexes, int width,
                               int height);

// Decodes a WebP image of exactly width x height into B, G, R, A.
bool DecodeWebp(std::span<const uint8_t> image, int width, int height, std::vector<uint8_t>& out);

// A TurboJPEG compressor and decompressor pair, reused across tiles. One thread at a time.
class JpegCodec {
 public:
  JpegCodec();
  ~JpegCodec();
  JpegCodec(const JpegCodec&) = delete;
  JpegCodec& operator=(const JpegCodec&) = delete;

  bool ok() const { return compressor_ != nullptr && decompressor_ != nullptr; }

  // Baseline 4:2:0 JPEG; empty on failure.
  std::vector<uint8_t> Encode(std::span<const uint8_t> pixels, int width, int height, int quality);
  // The image as B, G, R, 255; the image must be exactly width x height.
  bool Decode(std::span<const uint8_t> image, int width, int height, std::vector<uint8_t>& out);

 private:
  void* compressor_ = nullptr;    // tjhandle
  void* decompressor_ = nullptr;  // tjhandle
};

}  // namespace stv::sim
