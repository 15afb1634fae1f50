#include "window/picture_scaler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace stv {
namespace {

using Pixels = std::vector<uint8_t>;

Pixels Picture(int w, int h, int seed) {
  Pixels pixels(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>((i * 37 + seed * 101) ^ (i >> 5));
  return pixels;
}

Pixels ScaleWhole(PictureScaler& scaler, const Pixels& source) {
  Pixels out(static_cast<size_t>(scaler.OutputWidth()) * scaler.OutputHeight() * 4);
  scaler.Scale(source.data(), scaler.SourceWidth() * size_t{4}, {0, 0, scaler.OutputWidth(), scaler.OutputHeight()},
               out.data(), scaler.OutputWidth() * size_t{4});
  return out;
}

// Scaling again only where a change lands gives the picture a whole scale gives: no seams.
// The processor's widest instructions give the same bytes as those of any x86-64.
TEST(PictureScalerTest, RescalingWhatChangedEqualsScalingTheWhole) {
  struct Case {
    int sw, sh, ow, oh;
  };
  for (const Case& c :
       {Case{48, 27, 32, 18}, Case{37, 23, 50, 31}, Case{19, 40, 19, 40}, Case{1, 5, 3, 2}, Case{203, 117, 131, 77}}) {
    SCOPED_TRACE(::testing::Message() << c.sw << "x" << c.sh << " to " << c.ow << "x" << c.oh);
    PictureScaler scaler, baseline;
    scaler.Prepare(c.sw, c.sh, c.ow, c.oh);
    baseline.Prepare(c.sw, c.sh, c.ow, c.oh, PictureScaler::Instructions::kBaseline);
    Pixels source = Picture(c.sw, c.sh, 1);
    Pixels shown = ScaleWhole(scaler, source);
    ASSERT_EQ(shown, ScaleWhole(baseline, source));

    const Pixels before = shown;
    const Pixels changed = Picture(c.sw, c.sh, 2);
    for (int i = 0; i < 6; ++i) {
      // A rectangle of the source takes new pixels; only its share of the output is scaled again.
      const ChangedRect rect{(i * 7) % c.sw, (i * 5) % c.sh, std::min(c.sw - (i * 7) % c.sw, 1 + i * 3),
                             std::min(c.sh - (i * 5) % c.sh, 1 + i * 2)};
      for (int y = rect.y; y < rect.y + rect.h; ++y) {
        const size_t at = (static_cast<size_t>(y) * c.sw + rect.x) * 4;
        std::copy_n(changed.begin() + at, rect.w * 4, source.begin() + at);
      }
      const ChangedRect part = scaler.OutputOf(rect);
      scaler.Scale(source.data(), c.sw * size_t{4}, part,
                   shown.data() + (static_cast<size_t>(part.y) * c.ow + part.x) * 4, c.ow * size_t{4});
      ASSERT_EQ(shown, ScaleWhole(baseline, source)) << "after change " << i;
    }
    EXPECT_NE(shown, before);
  }
}

// Each output pixel is the source sampled at its centre, blended between neighbours.
TEST(PictureScalerTest, SamplesTheSourceAtEachOutputPixelsCentre) {
  constexpr int kSource = 240, kOutput = 160;
  Pixels ramp(kSource * 4 * 2);
  for (int x = 0; x < kSource; ++x) {
    for (int y = 0; y < 2; ++y) std::fill_n(ramp.begin() + (y * kSource + x) * 4, 4, static_cast<uint8_t>(x));
  }
  PictureScaler scaler;
  scaler.Prepare(kSource, 2, kOutput, 1);
  const Pixels out = ScaleWhole(scaler, ramp);
  for (int i = 0; i < kOutput; ++i) {
    const double centre = std::clamp((i + 0.5) * kSource / kOutput - 0.5, 0.0, kSource - 1.0);
    EXPECT_NEAR(out[i * 4], centre, 1.0) << i;
  }
  // An output pixel reads its two neighbours: source column 31 is read by outputs 20 (30.25) and 21 (31.75).
  EXPECT_EQ(scaler.OutputOf({31, 0, 1, 1}), (ChangedRect{20, 0, 2, 1}));
}

}  // namespace
}  // namespace stv
