// The tile image codec on arbitrary data. Input: the tile's width and height (1 to 64,
// one byte each), then the image.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/system_image_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static stv::agent::SystemImageCodec codec;
  static std::vector<uint8_t> out;  // reused, as the session picture reuses its scratch
  if (size < 2) return 0;
  const int width = 1 + data[0] % 64;
  const int height = 1 + data[1] % 64;
  const bool decoded = codec.Decode(std::span(data + 2, size - 2), width, height, out);
  const size_t expected = decoded ? static_cast<size_t>(width) * height * 4 : 0;
  if (out.size() != expected) std::abort();
  return 0;
}
