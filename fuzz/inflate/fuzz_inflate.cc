// Any bytes, as a zlib stream and as raw DEFLATE data: no crash, no output past the cap,
// and a zlib success always carries its checksum.
#include <cstdlib>
#include <vector>

#include "common/byte_order.h"
#include "protocol/tile_decompression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  std::vector<uint8_t> out;
  if (stv::InflateZlib(input, out, size * 4)) {
    if (stv::Adler32(out) != stv::ReadU32Be(data + size - 4)) abort();
  }
  if (out.size() > stv::kMaxInflatedSize) abort();
  stv::Inflate(input, out, 0);
  if (out.size() > stv::kMaxInflatedSize) abort();
  return 0;
}
