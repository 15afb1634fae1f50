// Any bytes, as a zlib stream and as raw DEFLATE data: no crash, no output past the cap,
// and a zlib success always carries its checksum.
#include <cstdlib>
#include <vector>

#include "protocol/tile_decompression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  std::vector<uint8_t> out;
  if (stv::InflateZlib(input, out, size * 4)) {
    const uint32_t stored = uint32_t{data[size - 4]} << 24 | uint32_t{data[size - 3]} << 16 |
                            uint32_t{data[size - 2]} << 8 | data[size - 1];
    if (stv::Adler32(out) != stored) abort();
  }
  if (out.size() > stv::kMaxInflatedSize) abort();
  stv::Inflate(input, out, 0);
  if (out.size() > stv::kMaxInflatedSize) abort();
  return 0;
}
