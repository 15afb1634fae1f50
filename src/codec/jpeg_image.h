// JPEG tiles through TurboJPEG.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "codec/tile_image_codec.h"

namespace stv::agent {

// Starts with the SOI marker and the first byte of the next marker: FF D8 FF.
bool IsJpeg(std::span<const uint8_t> image);

// The frame header of a JPEG: its size and whether it is a plain grey or colour image in
// one of the layouts TurboJPEG names (4:4:4, 4:2:2, 4:2:0, 4:4:0, 4:1:1).
struct JpegFrameInfo {
  int width = 0;
  int height = 0;
  bool standardLayout = false;
  // A sequential Huffman-coded image whose first scan holds every component and that
  // defines, before that scan, every quantisation and Huffman table the scan uses. Such an
  // image decodes the same whatever tables a decompressor holds from earlier images.
  bool carriesItsTables = false;
};

// Reads the frame header the way TurboJPEG's marker reader reaches it: SOI, then whole
// segments, each straight after the last, through the first start-of-frame to the first
// scan, where the reader's header ends too. Wherever that reader would read differently
// (fill bytes, stray data, a stuffed FF 00, markers without a length or unknown to it, a
// frame it cannot decode, a table this walk does not follow, a height of 0, no scan) this
// gives nothing, and callers leave the image to the decoder's own header call. So a frame
// found here is the one TurboJPEG reads, or TurboJPEG refuses the image.
std::optional<JpegFrameInfo> ScanJpegFrame(std::span<const uint8_t> image);

// JPEG decoding through TurboJPEG, once it is known to start. No image depends on the ones
// before it: images that carry their tables share one decompressor, every other image gets
// a fresh one, as a decompressor keeps the tables of the images it has read.
class JpegDecoder {
 public:
  // Null when TurboJPEG cannot start; `failureCode` then holds the reason (an errno value).
  static std::unique_ptr<JpegDecoder> Create(unsigned long& failureCode);
  JpegDecoder(const JpegDecoder&) = delete;
  JpegDecoder& operator=(const JpegDecoder&) = delete;

  // The top-left width x height pixels of the image as B, G, R, 255; the image may be larger
  // but not smaller. On failure `out` holds nothing of use.
  bool DecodeTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out);

  ~JpegDecoder();

 private:
  explicit JpegDecoder(void* first) : idle_{first} {}
  void* TakeHandle();
  void ReturnHandle(void* handle);

  // tjhandles for the images that carry their tables, one per decode running at once; made
  // as needed and kept, since making one costs more than a small tile's decode.
  std::mutex mutex_;
  std::vector<void*> idle_;
};

// One TurboJPEG compressor, created on first use.
class JpegEncoder {
 public:
  JpegEncoder() = default;
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // Baseline 4:2:0 JPEG of B, G, R, A pixels (stride width * 4); empty on failure.
  std::vector<uint8_t> Encode(std::span<const uint8_t> pixels, int width, int height, int quality);

 private:
  void* handle_ = nullptr;  // tjhandle
};

}  // namespace stv::agent
