// The zlib wrapper around the DEFLATE decoder (inflate_decoder.cc) and palette tiles
// (expanded by palette_expansion.cc).
#include "protocol/tile_decompression.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/byte_order.h"
#include "protocol/palette_expansion.h"

namespace stv {
namespace {

constexpr uint32_t kAdlerModulus = 65521;
// The longest run whose sums cannot overflow 32 bits before they are reduced; a multiple
// of 16 so that only the last run has a tail.
constexpr size_t kAdlerBlock = 5552;

#if defined(__SSE2__)
// Adds `n` bytes (a multiple of 16, at most kAdlerBlock) to the sums, 16 at a time: over
// n bytes, a grows by their sum and b by n * a + sum((n - i) * byte[i]). Per block of 16
// that weight splits into 16 * (blocks after this one) + (16 - i).
void AddSse2(const uint8_t* p, size_t n, uint32_t& a, uint32_t& b) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i weightsLow = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i weightsHigh = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  __m128i byteSum = zero;      // sum of all bytes so far
  __m128i earlierSums = zero;  // sum over blocks of byteSum before that block
  __m128i weighted = zero;     // sum of (16 - i) * byte[i] within blocks
  for (size_t i = 0; i < n; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    earlierSums = _mm_add_epi32(earlierSums, byteSum);
    byteSum = _mm_add_epi32(byteSum, _mm_sad_epu8(x, zero));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(x, zero), weightsLow));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), weightsHigh));
  }
  auto total = [](__m128i v) {
    alignas(16) uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
  };
  const uint64_t newB = b + uint64_t{n} * a + 16 * total(earlierSums) + total(weighted);
  a = uint32_t((a + total(byteSum)) % kAdlerModulus);
  b = uint32_t(newB % kAdlerModulus);
}
#endif

}  // namespace

uint32_t Adler32(std::span<const uint8_t> bytes) {
  uint32_t a = 1;
  uint32_t b = 0;
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
  while (left != 0) {
    size_t n = std::min(left, kAdlerBlock);
    left -= n;
#if defined(__SSE2__)
    const size_t vectorBytes = n & ~size_t{15};
    AddSse2(p, vectorBytes, a, b);
    p += vectorBytes;
    n -= vectorBytes;
#endif
    for (const uint8_t* stop = p + n; p != stop; ++p) {
      a += *p;
      b += a;
    }
    a %= kAdlerModulus;
    b %= kAdlerModulus;
  }
  return (b << 16) | a;
}

bool InflateZlib(std::span<const uint8_t> data, std::vector<uint8_t>& out, size_t reserveHint) {
  if (data.size() < 6) {
    out.clear();
    return false;
  }
  const uint32_t cmf = data[0];
  const uint32_t flg = data[1];
  if ((cmf & 0x0F) != 8 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20) != 0) {
    out.clear();
    return false;
  }
  if (!Inflate(data.subspan(2, data.size() - 6), out, reserveHint)) return false;
  return Adler32(out) == ReadU32Be(data.data() + data.size() - 4);
}

bool DecodePaletteTile(std::span<const uint8_t> data, int w, int h, std::vector<uint8_t>& out) {
  if (w < 1 || h < 1) {
    out.clear();
    return false;
  }
  const size_t pixels = size_t(w) * size_t(h);
  std::vector<uint8_t> decoded;
  if (!InflateZlib(data, decoded, pixels + 2 + kPaletteMaxEntries * 4)) {
    out.clear();
    return false;
  }
  return ExpandInflatedPaletteTile(decoded, pixels, out);
}

bool ExpandInflatedPaletteTile(std::span<const uint8_t> decoded, size_t pixels, std::vector<uint8_t>& out) {
  const size_t entries = decoded.size() >= 2 ? ReadU16Le(decoded.data()) : 0;
  const size_t indexOffset = 2 + 4 * entries;
  if (entries < 1 || entries > kPaletteMaxEntries || decoded.size() < indexOffset ||
      decoded.size() - indexOffset < pixels) {
    out.clear();
    return false;
  }

  PaletteColours colours{};
  std::memcpy(colours.data(), decoded.data() + 2, 4 * entries);
  const uint8_t* indexes = decoded.data() + indexOffset;
  // One vector pass checks every index before any pixel is written.
  if (HighestIndex(indexes, pixels) >= entries) {
    out.clear();
    return false;
  }
  out.resize(pixels * 4);  // earlier content is overwritten, not cleared first
  ExpandPalette(indexes, pixels, entries, colours, out.data());
  return true;
}

}  // namespace stv
