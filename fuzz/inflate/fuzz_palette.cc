// Palette tiles: the first two bytes choose a small tile size (some of them invalid), the
// rest is the payload. The result must match the reference decoder's exactly.
#include <cstdlib>
#include <vector>

#include "protocol/reference_inflate.h"
#include "protocol/tile_decompression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int w = int(data[0] % 70) - 2;
  const int h = int(data[1] % 70) - 2;
  const std::span<const uint8_t> payload(data + 2, size - 2);
  std::vector<uint8_t> fast = {1, 2, 3};  // stale bytes must never leak into a result
  std::vector<uint8_t> reference;
  const bool ok = stv::DecodePaletteTile(payload, w, h, fast);
  if (ok != stv::test::ReferenceDecodePaletteTile(payload, w, h, reference)) abort();
  if (ok && fast != reference) abort();
  return 0;
}
