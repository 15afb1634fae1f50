// JPEG XR tiles decoded in a separate process. libjxr cannot be made safe against hostile data
// from outside (see jxr_image.h), so it runs in stv-jxr-decode: a crash or a hang there costs one
// tile, never the session. The process starts with the first JPEG XR tile, and again after it
// died.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "codec/tile_image_codec.h"

namespace stv::agent {

// The request the viewer writes to the decoder's standard input, then the image's bytes. The
// answer on its standard output: one byte, 1 then width * height * 4 bytes of B, G, R, A, or 0.
struct JxrDecodeRequest {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t imageBytes = 0;
};
// A tile's image is never larger than an inflated tile may be.
inline constexpr uint32_t kMaxJxrImageBytes = 256 * 1024 * 1024;

// "II\xBC": the little-endian container, any version byte.
inline bool IsJxr(std::span<const uint8_t> image) {
  return image.size() >= 3 && image[0] == 'I' && image[1] == 'I' && image[2] == 0xBC;
}

// Where the decoder is looked for: beside the running program (the build), then in the
// installed libexec folder.
std::string DefaultJxrDecoderPath();

class JxrDecoderProcess {
 public:
  // Longest a decode may take, start included; a hung decoder is killed at this bound.
  static constexpr int kDecodeTimeoutMs = 2000;

  explicit JxrDecoderProcess(std::string decoderPath) : decoderPath_(std::move(decoderPath)) {}
  ~JxrDecoderProcess() { Stop(); }
  JxrDecoderProcess(const JxrDecoderProcess&) = delete;
  JxrDecoderProcess& operator=(const JxrDecoderProcess&) = delete;

  // The contract of DecodeJxrTopLeft; also false when the decoder cannot start, crashes or
  // hangs. One caller at a time.
  bool Decode(std::span<const uint8_t> image, int width, int height, TilePixels& out);

 private:
  bool Start();
  void Stop();

  std::string decoderPath_;
  pid_t pid_ = -1;
  int socket_ = -1;  // the decoder's standard input and output
  bool warned_ = false;
};

}  // namespace stv::agent
