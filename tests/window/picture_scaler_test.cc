#include "window/picture_scaler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "window/shown_picture.h"

namespace stv {
namespace {

using Pixels = std::vector<uint8_t>;

Pixels Picture(int w, int h, int seed) {
  Pixels pixels(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>((i * 37 + seed * 101) ^ (i >> 5));
  return pixels;
}

// Both passes over the whole picture.
Pixels ScaleWhole(const PictureScaler& scaler, const Pixels& source) {
  const size_t stride = scaler.SourceWidth() * size_t{4};
  Pixels blended(stride * scaler.OutputHeight() + 4);
  scaler.BlendRows(source.data(), stride, {0, 0, scaler.SourceWidth(), scaler.OutputHeight()}, blended.data(), stride);
  Pixels out(static_cast<size_t>(scaler.OutputWidth()) * scaler.OutputHeight() * 4);
  scaler.ScaleColumns(blended.data(), stride, {0, 0, scaler.OutputWidth(), scaler.OutputHeight()}, out.data(),
                      scaler.OutputWidth() * size_t{4});
  return out;
}

// The window's way: the blend brought up to date under the mutex with what was painted, then
// only the output that reads a painted pixel scaled again. It shows what a whole scale of
// the picture gives, with no seams, and the processor's widest instructions give the same
// bytes as those of any x86-64.
TEST(PictureScalerTest, ScalingWhatChangedShowsWhatScalingTheWholeShows) {
  struct Case {
    int sw, sh, ow, oh;
  };
  for (const Case& c :
       {Case{48, 27, 32, 18}, Case{37, 23, 50, 31}, Case{19, 40, 19, 40}, Case{1, 5, 3, 2}, Case{203, 117, 131, 77}}) {
    SCOPED_TRACE(::testing::Message() << c.sw << "x" << c.sh << " to " << c.ow << "x" << c.oh);
    PictureScaler baseline;
    baseline.Prepare(c.sw, c.sh, c.ow, c.oh, PictureScaler::Instructions::kBaseline);
    SessionPicture picture;
    picture.width = c.sw;
    picture.height = c.sh;
    picture.framebuffer = Picture(c.sw, c.sh, 1);
    picture.changed.AddEverything();
    BlendedPicture blended;
    int ow = c.ow, oh = c.oh;
    Pixels shown(static_cast<size_t>(ow) * oh * 4);
    const auto show = [&] {
      ChangedArea changed;
      ASSERT_TRUE(RefreshBlendedPicture(picture, ow, oh, blended, changed));
      changed.ForEach(c.sw, c.sh, [&](const ChangedRect& rect) {
        const ChangedRect part = blended.scaler.OutputOf(rect);
        blended.scaler.ScaleColumns(blended.pixels.data(), blended.Stride(), part,
                                    shown.data() + (static_cast<size_t>(part.y) * ow + part.x) * 4, ow * size_t{4});
      });
    };
    show();
    ASSERT_EQ(shown, ScaleWhole(baseline, picture.framebuffer));
    if (c.sw == c.ow && c.sh == c.oh) {
      EXPECT_EQ(shown, picture.framebuffer) << "shown as large as it is";
    }

    const Pixels before = shown;
    const Pixels painted = Picture(c.sw, c.sh, 2);
    for (int i = 0; i < 6; ++i) {
      // A rectangle of the picture is painted, and on every other round a second one.
      for (int j = 0; j <= i % 2; ++j) {
        const int k = i + 3 * j;
        const ChangedRect rect{(k * 7) % c.sw, (k * 5) % c.sh, std::min(c.sw - (k * 7) % c.sw, 1 + k * 3),
                               std::min(c.sh - (k * 5) % c.sh, 1 + k * 2)};
        for (int y = rect.y; y < rect.y + rect.h; ++y) {
          const size_t at = (static_cast<size_t>(y) * c.sw + rect.x) * 4;
          std::copy_n(painted.begin() + at, rect.w * 4, picture.framebuffer.begin() + at);
        }
        picture.changed.Add(rect);
      }
      show();
      ASSERT_EQ(shown, ScaleWhole(baseline, picture.framebuffer)) << "after change " << i;
    }
    EXPECT_NE(shown, before);

    // Shown at another size, with nothing painted, the whole picture is scaled anew.
    ow = c.ow + 3;
    oh = c.oh + 1;
    shown.assign(static_cast<size_t>(ow) * oh * 4, 0);
    baseline.Prepare(c.sw, c.sh, ow, oh, PictureScaler::Instructions::kBaseline);
    show();
    EXPECT_EQ(shown, ScaleWhole(baseline, picture.framebuffer));
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
