#include "window/picture_scaler.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define STV_SCALER_AVX2 1
#endif

namespace stv {
namespace {

// Weights are in 128ths, so that the AVX2 path multiplies bytes by bytes (maddubs). Every
// blend is (a * (128 - w) + b * w + 64) >> 7, which never leaves 16 bits: the vector forms
// give exactly the scalar results.
constexpr uint32_t kOne = 128;
constexpr int kShift = 7;

inline uint8_t Blend(uint32_t a, uint32_t b, uint32_t weight) {
  return static_cast<uint8_t>((a * (kOne - weight) + b * weight + kOne / 2) >> kShift);
}

// Bytes [i, end) of two source rows, blended; weight is 1 to 127.
void BlendRowsFrom(const uint8_t* top, const uint8_t* bottom, uint32_t weight, size_t i, size_t end, uint8_t* out) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i topWeight = _mm_set1_epi16(static_cast<int16_t>(kOne - weight));
  const __m128i bottomWeight = _mm_set1_epi16(static_cast<int16_t>(weight));
  const __m128i half = _mm_set1_epi16(kOne / 2);
  for (; i + 16 <= end; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + i));
    auto blend = [&](__m128i a16, __m128i b16) {
      const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(a16, topWeight), _mm_mullo_epi16(b16, bottomWeight));
      return _mm_srli_epi16(_mm_add_epi16(sum, half), kShift);
    };
    const __m128i low = blend(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
    const __m128i high = blend(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
  }
#endif
  for (; i < end; ++i) out[i] = Blend(top[i], bottom[i], weight);
}

#if defined(STV_SCALER_AVX2)
bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// 16 bytes of each of two rows, interleaved, times byte weights, rounded down to bytes again.
// Both weights are 1 to 127 (a weight of 0 is a copy), as the signed operand must be.
__attribute__((target("avx2"))) inline __m256i BlendPairsAvx2(__m256i pairs, __m256i weights) {
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(pairs, weights), _mm256_set1_epi16(kOne / 2)), kShift);
}

__attribute__((target("avx2"))) void BlendRowsAvx2(const uint8_t* top, const uint8_t* bottom, uint32_t weight,
                                                   size_t begin, size_t end, uint8_t* out) {
  const __m256i weights = _mm256_set1_epi16(static_cast<int16_t>(weight << 8 | (kOne - weight)));
  size_t i = begin;
  for (; i + 32 <= end; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom + i));
    // Unpacking and packing both work within 128-bit lanes, so the bytes come back in order.
    const __m256i low = BlendPairsAvx2(_mm256_unpacklo_epi8(a, b), weights);
    const __m256i high = BlendPairsAvx2(_mm256_unpackhi_epi8(a, b), weights);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_packus_epi16(low, high));
  }
  BlendRowsFrom(top, bottom, weight, i, end, out);
}

// Four output pixels from x on, as 16-bit values. Each reads its pixel and the right
// neighbour as 8 bytes; the two are interleaved byte by byte and multiplied by (128 - w, w).
// The weights are the unsigned operand, so that 128 fits, and the pixels the signed one,
// offset by -128: the sum is then 128 * 128 short of the blend, added back before rounding.
__attribute__((target("avx2"))) inline __m256i ScaleFourAvx2(const uint8_t* blended, const int32_t* firsts,
                                                             const uint8_t* weights, int32_t x) {
  const auto pair = [&](int32_t at) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(blended + static_cast<size_t>(firsts[at]) * 4));
  };
  const __m128i low = _mm_unpacklo_epi64(pair(x), pair(x + 1));
  const __m128i high = _mm_unpacklo_epi64(pair(x + 2), pair(x + 3));
  const __m256i interleave = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0, 4, 1, 5, 2, 6, 3,
                                              7, 8, 12, 9, 13, 10, 14, 11, 15);
  const __m256i pixels = _mm256_xor_si256(_mm256_shuffle_epi8(_mm256_set_m128i(high, low), interleave),
                                          _mm256_set1_epi8(static_cast<char>(0x80)));
  const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + static_cast<size_t>(x) * 8));
  const __m256i sum = _mm256_add_epi16(_mm256_maddubs_epi16(w, pixels), _mm256_set1_epi16(kOne * kOne + kOne / 2));
  return _mm256_srli_epi16(sum, kShift);
}

__attribute__((target("avx2"))) void ScaleRowAvx2(const uint8_t* blended, const int32_t* firsts, const uint8_t* weights,
                                                  int32_t count, uint8_t* out) {
  int32_t x = 0;
  for (; x + 8 <= count; x += 8, out += 32) {
    // Packing pairs the two halves' lanes; the permute puts the pixels back in order.
    const __m256i packed =
        _mm256_packus_epi16(ScaleFourAvx2(blended, firsts, weights, x), ScaleFourAvx2(blended, firsts, weights, x + 4));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute4x64_epi64(packed, 0xD8));
  }
  for (; x < count; ++x, out += 4) {
    const uint8_t* a = blended + static_cast<size_t>(firsts[x]) * 4;
    const uint32_t weight = weights[static_cast<size_t>(x) * 8 + 1];
    for (int c = 0; c < 4; ++c) out[c] = Blend(a[c], a[c + 4], weight);
  }
}
#endif

// `count` bytes of two source rows, blended; weight is 1 to 127.
void BlendRowBytes(const uint8_t* top, const uint8_t* bottom, uint32_t weight, size_t count, uint8_t* out, bool avx2) {
#if defined(STV_SCALER_AVX2)
  if (avx2) return BlendRowsAvx2(top, bottom, weight, 0, count, out);
#endif
  (void)avx2;
  BlendRowsFrom(top, bottom, weight, 0, count, out);
}

}  // namespace

// Output pixel i samples the source at its centre, (i + 1/2) * source / output - 1/2, in
// 128ths, computed alone for each i so that no part of the output depends on another.
std::vector<PictureScaler::Tap> PictureScaler::Taps(int32_t sourceLength, int32_t outputLength) {
  std::vector<Tap> taps(static_cast<size_t>(outputLength));
  for (int32_t i = 0; i < outputLength; ++i) {
    const int64_t twice = (2 * int64_t{i} + 1) * sourceLength - outputLength;
    const int64_t position = std::max<int64_t>(0, twice * kOne / (2 * int64_t{outputLength}));
    const auto first = static_cast<int32_t>(position >> kShift);
    if (first >= sourceLength - 1) {
      taps[static_cast<size_t>(i)] = {sourceLength - 1, sourceLength - 1, 0};
    } else {
      taps[static_cast<size_t>(i)] = {first, first + 1, static_cast<uint32_t>(position & (kOne - 1))};
    }
  }
  return taps;
}

void PictureScaler::Prepare(int32_t sourceWidth, int32_t sourceHeight, int32_t outputWidth, int32_t outputHeight,
                            Instructions instructions) {
  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
#if defined(STV_SCALER_AVX2)
  avx2_ = instructions == Instructions::kWidest && HasAvx2();
#else
  (void)instructions;
#endif
  columns_ = Taps(sourceWidth, outputWidth);
  rows_ = Taps(sourceHeight, outputHeight);
  columnFirsts_.resize(columns_.size());
  columnWeights_.resize(columns_.size());
  columnByteWeights_.resize(columns_.size() * 8);
  for (size_t i = 0; i < columns_.size(); ++i) {
    columnFirsts_[i] = columns_[i].first;
    const auto weight = static_cast<uint16_t>(columns_[i].weight);
    const auto other = static_cast<uint16_t>(kOne - weight);
    columnWeights_[i] = {other, other, other, other, weight, weight, weight, weight};
    for (size_t c = 0; c < 4; ++c) {
      columnByteWeights_[i * 8 + c * 2] = static_cast<uint8_t>(other);
      columnByteWeights_[i * 8 + c * 2 + 1] = static_cast<uint8_t>(weight);
    }
  }
}

void PictureScaler::OutputSpan(const std::vector<Tap>& taps, int32_t begin, int32_t end, int32_t& from, int32_t& to) {
  // Both neighbours grow with the output index.
  from = static_cast<int32_t>(
      std::partition_point(taps.begin(), taps.end(), [&](const Tap& tap) { return tap.second < begin; }) -
      taps.begin());
  to = static_cast<int32_t>(
      std::partition_point(taps.begin(), taps.end(), [&](const Tap& tap) { return tap.first < end; }) - taps.begin());
}

ChangedRect PictureScaler::OutputOf(const ChangedRect& changed) const {
  int32_t left = 0, right = 0, top = 0, bottom = 0;
  OutputSpan(columns_, changed.x, changed.x + changed.w, left, right);
  OutputSpan(rows_, changed.y, changed.y + changed.h, top, bottom);
  if (right <= left || bottom <= top) return {};
  return {left, top, right - left, bottom - top};
}

ChangedRect PictureScaler::BlendedOf(const ChangedRect& changed) const {
  int32_t top = 0, bottom = 0;
  OutputSpan(rows_, changed.y, changed.y + changed.h, top, bottom);
  if (changed.w < 1 || bottom <= top) return {};
  return {changed.x, top, changed.w, bottom - top};
}

void PictureScaler::BlendRows(const uint8_t* source, size_t sourceStride, const ChangedRect& part, uint8_t* to,
                              size_t toStride) const {
  const size_t begin = static_cast<size_t>(part.x) * 4;
  const size_t end = begin + static_cast<size_t>(part.w) * 4;
  for (int32_t y = 0; y < part.h; ++y, to += toStride) {
    const Tap& row = rows_[static_cast<size_t>(part.y + y)];
    const uint8_t* top = source + static_cast<size_t>(row.first) * sourceStride;
    const uint8_t* bottom = source + static_cast<size_t>(row.second) * sourceStride;
    if (row.weight == 0) {
      std::memcpy(to, top + begin, end - begin);
    } else {
      BlendRowBytes(top + begin, bottom + begin, row.weight, end - begin, to, avx2_);
    }
  }
}

void PictureScaler::ScaleRow(const uint8_t* blended, const Tap* columns, const ColumnWeights* weights, int32_t count,
                             uint8_t* out) {
#if defined(__SSE2__)
  // A pixel and its right neighbour in one 8-byte load; where the two taps are one pixel, the
  // neighbour's weight is 0.
  (void)columns;
  const __m128i zero = _mm_setzero_si128();
  const __m128i half = _mm_set1_epi16(kOne / 2);
  auto weighted = [&](int32_t x) {
    const __m128i pair = _mm_unpacklo_epi8(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(blended + static_cast<size_t>(columns[x].first) * 4)), zero);
    return _mm_mullo_epi16(pair, _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights[x].data())));
  };
  // Two pixels a round: their weighted neighbours side by side, added in one go.
  auto blend = [&](__m128i first, __m128i second) {
    const __m128i sum = _mm_add_epi16(_mm_unpacklo_epi64(first, second), _mm_unpackhi_epi64(first, second));
    return _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(sum, half), kShift), zero);
  };
  int32_t x = 0;
  for (; x + 2 <= count; x += 2, out += 8) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), blend(weighted(x), weighted(x + 1)));
  }
  if (x < count) {
    const int packed = _mm_cvtsi128_si32(blend(weighted(x), zero));
    std::memcpy(out, &packed, 4);
  }
#else
  (void)weights;
  for (int32_t x = 0; x < count; ++x, out += 4) {
    const uint8_t* a = blended + static_cast<size_t>(columns[x].first) * 4;
    const uint8_t* b = blended + static_cast<size_t>(columns[x].second) * 4;
    for (int c = 0; c < 4; ++c) out[c] = Blend(a[c], b[c], columns[x].weight);
  }
#endif
}

void PictureScaler::ScaleColumns(const uint8_t* blended, size_t blendedStride, const ChangedRect& part, uint8_t* to,
                                 size_t toStride) const {
  if (part.w < 1 || part.h < 1) return;
  const uint8_t* row = blended + static_cast<size_t>(part.y) * blendedStride;
  if (sourceWidth_ == OutputWidth()) {
    // Shown as wide as it is: every column is its own, weight 0.
    for (int32_t y = 0; y < part.h; ++y, row += blendedStride, to += toStride) {
      std::memcpy(to, row + static_cast<size_t>(part.x) * 4, static_cast<size_t>(part.w) * 4);
    }
    return;
  }
  for (int32_t y = 0; y < part.h; ++y, row += blendedStride, to += toStride) {
#if defined(STV_SCALER_AVX2)
    if (avx2_) {
      ScaleRowAvx2(row, columnFirsts_.data() + part.x, columnByteWeights_.data() + size_t{8} * part.x, part.w, to);
      continue;
    }
#endif
    ScaleRow(row, columns_.data() + part.x, columnWeights_.data() + part.x, part.w, to);
  }
}

}  // namespace stv
