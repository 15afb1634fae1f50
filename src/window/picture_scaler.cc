#include "window/picture_scaler.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace stv {
namespace {

// Every blend is (a * (256 - w) + b * w + 128) >> 8, which never leaves 16 bits: the vector
// forms give exactly the scalar results.
inline uint8_t Blend(uint32_t a, uint32_t b, uint32_t weight) {
  return static_cast<uint8_t>((a * (256 - weight) + b * weight + 128) >> 8);
}

// Bytes [begin, end) of two source rows, blended.
void BlendRows(const uint8_t* top, const uint8_t* bottom, uint32_t weight, size_t begin, size_t end, uint8_t* out) {
  size_t i = begin;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i topWeight = _mm_set1_epi16(static_cast<int16_t>(256 - weight));
  const __m128i bottomWeight = _mm_set1_epi16(static_cast<int16_t>(weight));
  const __m128i half = _mm_set1_epi16(128);
  for (; i + 16 <= end; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + i));
    auto blend = [&](__m128i a16, __m128i b16) {
      const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(a16, topWeight), _mm_mullo_epi16(b16, bottomWeight));
      return _mm_srli_epi16(_mm_add_epi16(sum, half), 8);
    };
    const __m128i low = blend(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
    const __m128i high = blend(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
  }
#endif
  for (; i < end; ++i) out[i] = Blend(top[i], bottom[i], weight);
}

}  // namespace

// Output pixel i samples the source at its centre, (i + 1/2) * source / output - 1/2, in
// 256ths, computed alone for each i so that no part of the output depends on another.
std::vector<PictureScaler::Tap> PictureScaler::Taps(int32_t sourceLength, int32_t outputLength) {
  std::vector<Tap> taps(static_cast<size_t>(outputLength));
  for (int32_t i = 0; i < outputLength; ++i) {
    const int64_t twice = (2 * int64_t{i} + 1) * sourceLength - outputLength;
    const int64_t position = std::max<int64_t>(0, twice * 256 / (2 * int64_t{outputLength}));
    const auto first = static_cast<int32_t>(position >> 8);
    if (first >= sourceLength - 1) {
      taps[static_cast<size_t>(i)] = {sourceLength - 1, sourceLength - 1, 0};
    } else {
      taps[static_cast<size_t>(i)] = {first, first + 1, static_cast<uint32_t>(position & 255)};
    }
  }
  return taps;
}

void PictureScaler::Prepare(int32_t sourceWidth, int32_t sourceHeight, int32_t outputWidth, int32_t outputHeight) {
  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
  columns_ = Taps(sourceWidth, outputWidth);
  rows_ = Taps(sourceHeight, outputHeight);
  // Four bytes to spare: the last column's pixel is read together with the next one.
  blendedRow_.assign(static_cast<size_t>(sourceWidth) * 4 + 4, 0);
  columnWeights_.resize(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) {
    const auto weight = static_cast<uint16_t>(columns_[i].weight);
    const auto other = static_cast<uint16_t>(256 - weight);
    columnWeights_[i] = {other, other, other, other, weight, weight, weight, weight};
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

void PictureScaler::ScaleRow(const uint8_t* blended, const Tap* columns, const ColumnWeights* weights, int32_t count,
                             uint8_t* out) {
#if defined(__SSE2__)
  // A pixel and its right neighbour in one 8-byte load; where the two taps are one pixel, the
  // neighbour's weight is 0.
  const __m128i zero = _mm_setzero_si128();
  const __m128i half = _mm_set1_epi16(128);
  auto weighted = [&](int32_t x) {
    const __m128i pair = _mm_unpacklo_epi8(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(blended + static_cast<size_t>(columns[x].first) * 4)), zero);
    return _mm_mullo_epi16(pair, _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights[x].data())));
  };
  // Two pixels a round: their weighted neighbours side by side, added in one go.
  auto blend = [&](__m128i first, __m128i second) {
    const __m128i sum = _mm_add_epi16(_mm_unpacklo_epi64(first, second), _mm_unpackhi_epi64(first, second));
    return _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(sum, half), 8), zero);
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

void PictureScaler::Scale(const uint8_t* source, size_t sourceStride, const ChangedRect& part, uint8_t* to,
                          size_t toStride) {
  if (part.w < 1 || part.h < 1) return;
  // The source columns this part reads, blended between its two rows once per output row.
  const size_t begin = static_cast<size_t>(columns_[static_cast<size_t>(part.x)].first) * 4;
  const size_t end = (static_cast<size_t>(columns_[static_cast<size_t>(part.x + part.w - 1)].second) + 1) * 4;
  uint8_t* blended = blendedRow_.data();
  const Tap* columns = columns_.data() + part.x;
  for (int32_t y = 0; y < part.h; ++y, to += toStride) {
    const Tap& row = rows_[static_cast<size_t>(part.y + y)];
    const uint8_t* top = source + static_cast<size_t>(row.first) * sourceStride;
    const uint8_t* bottom = source + static_cast<size_t>(row.second) * sourceStride;
    if (row.weight == 0) {
      std::memcpy(blended + begin, top + begin, end - begin);
    } else {
      BlendRows(top, bottom, row.weight, begin, end, blended);
    }
    ScaleRow(blended, columns, columnWeights_.data() + part.x, part.w, to);
  }
}

}  // namespace stv
