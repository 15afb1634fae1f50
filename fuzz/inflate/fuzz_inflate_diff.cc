// The table-driven decoder against the bit-at-a-time reference on the same bytes: the
// same verdict, and the same output on success. The first byte picks raw or zlib input
// and an output limit, so that the limit's paths are reached with small outputs too.
#include <cstdlib>
#include <vector>

#include "protocol/reference_inflate.h"
#include "protocol/tile_decompression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  const std::span<const uint8_t> input(data + 1, size - 1);
  std::vector<uint8_t> fast;
  std::vector<uint8_t> reference;
  bool ok;
  if (mode & 1) {
    ok = stv::InflateZlib(input, fast, mode);
    if (ok != stv::test::ReferenceInflateZlib(input, reference, mode)) abort();
  } else {
    // Even modes: 0 is no limit beyond the cap, others a limit of up to 127 * 97 bytes.
    const size_t limit = mode == 0 ? stv::kMaxInflatedSize : size_t(mode >> 1) * 97;
    ok = stv::InflateWithLimit(input, fast, size_t(mode) * 13, limit);
    if (ok != stv::test::ReferenceInflate(input, reference, 0, limit)) abort();
    if (fast.size() > limit) abort();
  }
  if (ok && fast != reference) abort();
  return 0;
}
