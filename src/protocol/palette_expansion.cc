// Palette expansion: a scalar table everywhere, byte shuffles where the processor has them
// (chosen at run time, so the build stays for the baseline instruction set).
#include "protocol/palette_expansion.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define STV_X86 1
#endif

namespace stv {
namespace {

// One table load per pixel; on little-endian machines four indexes are read at once and
// pixels are stored in pairs, which halves the loads and stores around the table. (GCC's
// vectoriser would emulate a gather here, which is slower than plain scalar code.)
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
void ExpandWithTable(const uint8_t* indexes, size_t count, const PaletteColours& colours,
                     uint8_t* out) {
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

#if defined(STV_X86)
// Byte shuffles: each byte plane of the palette (blue, green, red, fourth) split into
// 16-entry tables, one shuffle per table and plane for a whole vector of indexes, then
// unpacking interleaves the planes back into pixels. Far fewer instructions per pixel
// than a table load each, for palettes up to 64 entries (text, flat panels).

struct PlaneTables {
  alignas(16) uint8_t bytes[4][4][16];  // [plane][group of 16 entries][entry]
};

PlaneTables SplitPlanes(const PaletteColours& colours) {
  PlaneTables tables;
  for (int plane = 0; plane < 4; ++plane) {
    for (int entry = 0; entry < 64; ++entry) {
      const uint32_t colour = colours[size_t(entry)];
      tables.bytes[plane][entry / 16][entry % 16] = uint8_t(colour >> (8 * plane));
    }
  }
  return tables;
}

// Up to 16 entries, 16 pixels a round.
__attribute__((target("ssse3"))) void ExpandWithShuffles(const uint8_t* indexes, size_t count,
                                                         const PaletteColours& colours, uint8_t* out) {
  const PlaneTables tables = SplitPlanes(colours);
  __m128i plane[4];
  for (int p = 0; p < 4; ++p) {
    plane[p] = _mm_load_si128(reinterpret_cast<const __m128i*>(tables.bytes[p][0]));
  }
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m128i index = _mm_loadu_si128(reinterpret_cast<const __m128i*>(indexes + i));
    const __m128i b = _mm_shuffle_epi8(plane[0], index), g = _mm_shuffle_epi8(plane[1], index);
    const __m128i r = _mm_shuffle_epi8(plane[2], index), x = _mm_shuffle_epi8(plane[3], index);
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

// Up to 16 * kGroups entries, 32 pixels a round. A shuffle reads only the low four bits
// of an index; bits 4 and 5 pick the group, by blends on the bytes' top bits.
template <int kGroups>
__attribute__((target("avx2"))) void ExpandWithWideShuffles(const uint8_t* indexes, size_t count,
                                                            const PaletteColours& colours, uint8_t* out) {
  const PlaneTables tables = SplitPlanes(colours);
  __m256i table[4][kGroups];
  for (int p = 0; p < 4; ++p) {
    for (int g = 0; g < kGroups; ++g) {
      table[p][g] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(tables.bytes[p][g])));
    }
  }
  size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    const __m256i index = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(indexes + i));
    const __m256i bit4 = _mm256_slli_epi16(index, 3), bit5 = _mm256_slli_epi16(index, 2);
    __m256i plane[4];
    for (int p = 0; p < 4; ++p) {
      __m256i low = _mm256_shuffle_epi8(table[p][0], index);
      if constexpr (kGroups > 1) {
        low = _mm256_blendv_epi8(low, _mm256_shuffle_epi8(table[p][1], index), bit4);
      }
      if constexpr (kGroups > 2) {
        __m256i high = _mm256_shuffle_epi8(table[p][2], index);
        if constexpr (kGroups > 3) {
          high = _mm256_blendv_epi8(high, _mm256_shuffle_epi8(table[p][3], index), bit4);
        }
        low = _mm256_blendv_epi8(low, high, bit5);
      }
      plane[p] = low;
    }
    const __m256i bgLow = _mm256_unpacklo_epi8(plane[0], plane[1]);
    const __m256i bgHigh = _mm256_unpackhi_epi8(plane[0], plane[1]);
    const __m256i rxLow = _mm256_unpacklo_epi8(plane[2], plane[3]);
    const __m256i rxHigh = _mm256_unpackhi_epi8(plane[2], plane[3]);
    // Each 128-bit lane now holds 4 quarters of its own 16 pixels; put them in order.
    const __m256i q0 = _mm256_unpacklo_epi16(bgLow, rxLow);
    const __m256i q1 = _mm256_unpackhi_epi16(bgLow, rxLow);
    const __m256i q2 = _mm256_unpacklo_epi16(bgHigh, rxHigh);
    const __m256i q3 = _mm256_unpackhi_epi16(bgHigh, rxHigh);
    __m256i* dst = reinterpret_cast<__m256i*>(out + 4 * i);
    _mm256_storeu_si256(dst + 0, _mm256_permute2x128_si256(q0, q1, 0x20));
    _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(q2, q3, 0x20));
    _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(q0, q1, 0x31));
    _mm256_storeu_si256(dst + 3, _mm256_permute2x128_si256(q2, q3, 0x31));
  }
  ExpandWithTable(indexes + i, count - i, colours, out + 4 * i);
}
#endif

}  // namespace

bool PaletteMethodAvailable(PaletteMethod method, size_t entries) {
  switch (method) {
    case PaletteMethod::kTable: return true;
#if defined(STV_X86)
    case PaletteMethod::kShuffle: {
      static const bool hasSsse3 = __builtin_cpu_supports("ssse3");
      return hasSsse3 && entries <= 16;
    }
    case PaletteMethod::kWideShuffle: {
      static const bool hasAvx2 = __builtin_cpu_supports("avx2");
      return hasAvx2 && entries <= 64;
    }
#endif
    default: return false;
  }
}

void ExpandPaletteWith(PaletteMethod method, const uint8_t* indexes, size_t count, size_t entries,
                       const PaletteColours& colours, uint8_t* out) {
#if defined(STV_X86)
  if (method == PaletteMethod::kWideShuffle) {
    switch ((entries + 15) / 16) {
      case 0:
      case 1: return ExpandWithWideShuffles<1>(indexes, count, colours, out);
      case 2: return ExpandWithWideShuffles<2>(indexes, count, colours, out);
      case 3: return ExpandWithWideShuffles<3>(indexes, count, colours, out);
      default: return ExpandWithWideShuffles<4>(indexes, count, colours, out);
    }
  }
  if (method == PaletteMethod::kShuffle) return ExpandWithShuffles(indexes, count, colours, out);
#endif
  (void)method;
  (void)entries;
  ExpandWithTable(indexes, count, colours, out);
}

void ExpandPalette(const uint8_t* indexes, size_t count, size_t entries, const PaletteColours& colours, uint8_t* out) {
  for (PaletteMethod method : {PaletteMethod::kWideShuffle, PaletteMethod::kShuffle}) {
    if (PaletteMethodAvailable(method, entries)) {
      return ExpandPaletteWith(method, indexes, count, entries, colours, out);
    }
  }
  ExpandWithTable(indexes, count, colours, out);
}

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

}  // namespace stv
