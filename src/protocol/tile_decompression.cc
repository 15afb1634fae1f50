// The zlib wrapper around the DEFLATE decoder (inflate_decoder.cc) and palette tiles.
#include "protocol/tile_decompression.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace stv {
namespace {

constexpr size_t kPaletteMaxEntries = 256;

constexpr uint32_t kAdlerModulus = 65521;
// The longest run whose sums cannot overflow 32 bits before they are reduced; a multiple
// of 16 so that only the last run has a tail.
constexpr size_t kAdlerBlock = 5552;

uint8_t HighestIndex(const uint8_t* indexes, size_t count) {
  uint8_t highest = 0;
  size_t i = 0;
#if defined(__SSE2__)
  __m128i vector = _mm_setzero_si128();
  for (; i + 16 <= count; i += 16) {
    vector = _mm_max_epu8(vector, _mm_loadu_si128(reinterpret_cast<const __m128i*>(indexes + i)));
  }
  alignas(16) uint8_t lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), vector);
  for (uint8_t lane : lanes) highest = std::max(highest, lane);
#endif
  for (; i < count; ++i) highest = std::max(highest, indexes[i]);
  return highest;
}

// One table load per pixel; on little-endian machines four indexes are read at once and
// pixels are stored in pairs, which halves the loads and stores around the table. (GCC's
// vectoriser would emulate a gather here, which is slower than plain scalar code.)
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
void ExpandWithTable(const uint8_t* indexes, size_t count,
                     const std::array<uint32_t, kPaletteMaxEntries>& colours, uint8_t* out) {
  size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 4 <= count; i += 4) {
      uint32_t four;
      std::memcpy(&four, indexes + i, 4);
      const uint64_t first = colours[four & 0xFF] | uint64_t{colours[(four >> 8) & 0xFF]} << 32;
      const uint64_t second = colours[(four >> 16) & 0xFF] | uint64_t{colours[four >> 24]} << 32;
      std::memcpy(out + 4 * i, &first, 8);
      std::memcpy(out + 4 * i + 8, &second, 8);
    }
  }
  for (; i < count; ++i) std::memcpy(out + 4 * i, &colours[indexes[i]], 4);
}

#if defined(__x86_64__) || defined(__i386__)
// Palettes of up to 16 entries, the usual case for text and flat panels: each byte plane
// of the palette is one 16-byte shuffle table, so 16 pixels take four shuffles and the
// unpacking that interleaves the planes back into pixels.
__attribute__((target("ssse3"))) void ExpandWithShuffles(
    const uint8_t* indexes, size_t count, const std::array<uint32_t, kPaletteMaxEntries>& colours,
    uint8_t* out) {
  alignas(16) uint8_t planes[4][16];
  for (int entry = 0; entry < 16; ++entry) {
    for (int plane = 0; plane < 4; ++plane) {
      planes[plane][entry] = uint8_t(colours[size_t(entry)] >> (8 * plane));
    }
  }
  auto loadPlane = [&](int plane) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(planes[plane]));
  };
  const __m128i blue = loadPlane(0), green = loadPlane(1);
  const __m128i red = loadPlane(2), fourth = loadPlane(3);
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m128i index = _mm_loadu_si128(reinterpret_cast<const __m128i*>(indexes + i));
    const __m128i b = _mm_shuffle_epi8(blue, index), g = _mm_shuffle_epi8(green, index);
    const __m128i r = _mm_shuffle_epi8(red, index), x = _mm_shuffle_epi8(fourth, index);
    const __m128i bgLow = _mm_unpacklo_epi8(b, g), bgHigh = _mm_unpackhi_epi8(b, g);
    const __m128i rxLow = _mm_unpacklo_epi8(r, x), rxHigh = _mm_unpackhi_epi8(r, x);
    __m128i* dst = reinterpret_cast<__m128i*>(out + 4 * i);
    _mm_storeu_si128(dst + 0, _mm_unpacklo_epi16(bgLow, rxLow));
    _mm_storeu_si128(dst + 1, _mm_unpackhi_epi16(bgLow, rxLow));
    _mm_storeu_si128(dst + 2, _mm_unpacklo_epi16(bgHigh, rxHigh));
    _mm_storeu_si128(dst + 3, _mm_unpackhi_epi16(bgHigh, rxHigh));
  }
  ExpandWithTable(indexes + i, count - i, colours, out + 4 * i);
}
#endif

// Indexes must all be below the palette's entry count.
void ExpandIndexes(const uint8_t* indexes, size_t count, size_t entries,
                   const std::array<uint32_t, kPaletteMaxEntries>& colours, uint8_t* out) {
#if defined(__x86_64__) || defined(__i386__)
  static const bool hasShuffle = __builtin_cpu_supports("ssse3");
  if (entries <= 16 && hasShuffle) {
    ExpandWithShuffles(indexes, count, colours, out);
    return;
  }
#endif
  (void)entries;
  ExpandWithTable(indexes, count, colours, out);
}

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
  const uint8_t* tail = data.data() + data.size() - 4;
  const uint32_t expected = uint32_t{tail[0]} << 24 | uint32_t{tail[1]} << 16 |
                            uint32_t{tail[2]} << 8 | uint32_t{tail[3]};
  return Adler32(out) == expected;
}

bool DecodePaletteTile(std::span<const uint8_t> data, int w, int h, std::vector<uint8_t>& out) {
  if (w < 1 || h < 1) {
    out.clear();
    return false;
  }
  const size_t pixels = size_t(w) * size_t(h);
  std::vector<uint8_t> decoded;
  const bool ok = InflateZlib(data, decoded, pixels + 2 + kPaletteMaxEntries * 4);
  const size_t entries = decoded.size() >= 2 ? size_t{decoded[0]} | size_t{decoded[1]} << 8 : 0;
  const size_t indexOffset = 2 + 4 * entries;
  if (!ok || entries < 1 || entries > kPaletteMaxEntries || decoded.size() < indexOffset ||
      decoded.size() - indexOffset < pixels) {
    out.clear();
    return false;
  }

  std::array<uint32_t, kPaletteMaxEntries> colours{};
  std::memcpy(colours.data(), decoded.data() + 2, 4 * entries);
  const uint8_t* indexes = decoded.data() + indexOffset;
  // A bad index fails the tile whatever was written, so the check is one separate pass.
  if (HighestIndex(indexes, pixels) >= entries) {
    out.clear();
    return false;
  }
  out.resize(pixels * 4);  // earlier content is overwritten, not cleared first
  ExpandIndexes(indexes, pixels, entries, colours, out.data());
  return true;
}

}  // namespace stv
