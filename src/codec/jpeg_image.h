// JPEG tiles through TurboJPEG.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace stv::agent {

// Starts with the SOI marker and the first byte of the next marker: FF D8 FF.
bool IsJpeg(std::span<const uint8_t> image);

// One TurboJPEG decompressor, reused for every tile. Not thread-safe: it belongs to one
// codec, which the reader thread calls one tile at a time.
class JpegDecoder {
 public:
  // Null when TurboJPEG cannot start; `failureCode` then holds the reason (an errno value).
  static std::unique_ptr<JpegDecoder> Create(unsigned long& failureCode);
  ~JpegDecoder();
  JpegDecoder(const JpegDecoder&) = delete;
  JpegDecoder& operator=(const JpegDecoder&) = delete;

  // The top-left width x height pixels of the image as B, G, R, 255; the image may be larger
  // but not smaller. On failure `out` holds nothing of use.
  bool DecodeTopLeft(std::span<const uint8_t> image, int width, int height,
                     std::vector<uint8_t>& out);

 private:
  explicit JpegDecoder(void* handle) : handle_(handle) {}
  void* handle_;  // tjhandle
};

// One TurboJPEG compressor, created on first use.
class JpegEncoder {
 public:
  JpegEncoder() = default;
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // Baseline 4:2:0 JPEG of B, G, R, A pixels (stride width * 4); empty on failure.
  std::vector<uint8_t> Encode(std::span<const uint8_t> pixels, int width, int height,
                              int quality);

 private:
  void* handle_ = nullptr;  // tjhandle
};

}  // namespace stv::agent
