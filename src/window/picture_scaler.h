// Bilinear scaling of the picture to the size it is shown at, done piecewise: any rectangle
// of the output comes out exactly as it does in a scale of the whole picture. A window that
// draws without a GPU then scales again only what changed, with no seams where a changed
// part meets one scaled earlier.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/changed_area.h"

namespace stv {

class PictureScaler {
 public:
  // The widest vector instructions the processor has, or the ones every x86-64 has; both
  // give the same bytes.
  enum class Instructions { kWidest, kBaseline };

  // Sets up the scale of a sourceWidth x sourceHeight picture to outputWidth x outputHeight;
  // all at least 1.
  void Prepare(int32_t sourceWidth, int32_t sourceHeight, int32_t outputWidth, int32_t outputHeight,
               Instructions instructions = Instructions::kWidest);

  int32_t SourceWidth() const { return sourceWidth_; }
  int32_t SourceHeight() const { return sourceHeight_; }
  int32_t OutputWidth() const { return static_cast<int32_t>(columns_.size()); }
  int32_t OutputHeight() const { return static_cast<int32_t>(rows_.size()); }

  // The scale runs in two passes. The first blends the source's rows into rows of the output's
  // height, still as wide as the source (the blend); the second blends the blend's columns
  // into the output's. A window keeps the blend, so that a change to the source costs the
  // first pass only where it lands.

  // The part of the blend (output rows, source columns) that reads any pixel of `changed`, a
  // rectangle of the source.
  ChangedRect BlendedOf(const ChangedRect& changed) const;
  // The output rectangle holding every output pixel that reads a pixel of `changed`, a
  // rectangle of the source, through the blend.
  ChangedRect OutputOf(const ChangedRect& changed) const;

  // Computes `part` of the blend from the source's 4-byte pixels (rows `sourceStride` bytes
  // apart) into `to`, where part's top-left pixel goes (rows `toStride` bytes apart).
  void BlendRows(const uint8_t* source, size_t sourceStride, const ChangedRect& part, uint8_t* to,
                 size_t toStride) const;
  // Computes the output rectangle `part` from the whole blend (rows `blendedStride` bytes
  // apart, which must have 4 bytes to spare after its last pixel: the last column is read
  // together with the next one) into `to`, where part's top-left pixel goes.
  void ScaleColumns(const uint8_t* blended, size_t blendedStride, const ChangedRect& part, uint8_t* to,
                    size_t toStride) const;

 private:
  // An output pixel's two neighbours along one axis and the second one's weight in 128ths.
  struct Tap {
    int32_t first;
    int32_t second;
    uint32_t weight;
  };
  // A column's two weights, each for the four bytes of a pixel.
  using ColumnWeights = std::array<uint16_t, 8>;
  static std::vector<Tap> Taps(int32_t sourceLength, int32_t outputLength);
  static void ScaleRow(const uint8_t* blended, const Tap* columns, const ColumnWeights* weights, int32_t count,
                       uint8_t* out);
  // The first and one past the last output index that reads any source index in [begin, end).
  static void OutputSpan(const std::vector<Tap>& taps, int32_t begin, int32_t end, int32_t& from, int32_t& to);

  int32_t sourceWidth_ = 0;
  int32_t sourceHeight_ = 0;
  std::vector<Tap> columns_;
  std::vector<Tap> rows_;
  std::vector<ColumnWeights> columnWeights_;
  // The same for AVX2: each column's first neighbour, and its weights as 8 bytes, the two
  // neighbours' in turn for each of the four bytes of a pixel.
  std::vector<int32_t> columnFirsts_;
  std::vector<uint8_t> columnByteWeights_;
  bool avx2_ = false;
};

}  // namespace stv
