#include "window/session_title.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "window_fixture.h"

namespace stv {
namespace {

TEST(SessionTitleTest, FiguresPresetGrayAndViewOnly) {
  EXPECT_EQ(FormatSessionTitle({1920, 1080, 3565158, 12, 480}, QualityPreset::Balanced, true, false),
            "Stavolin - 1920x1080 - 12 frames, 480 tiles, 3.4 MB - Balanced - grey");
  EXPECT_EQ(FormatSessionTitle({}, QualityPreset::High, false, true),
            "Stavolin - 0x0 - 0 frames, 0 tiles, 0.0 MB - High - view only");
  // Unlike the preset's wire name, which falls back to High.
  EXPECT_EQ(FormatSessionTitle({}, static_cast<QualityPreset>(7), false, false),
            "Stavolin - 0x0 - 0 frames, 0 tiles, 0.0 MB - DataSaver");
}

TEST(SessionTitleTest, LargestFiguresFitTheBuffer) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  const std::string title = FormatSessionTitle({kMin, kMin, kMax, kMax, kMax}, QualityPreset::DataSaver, true, true);
  EXPECT_EQ(title,
            "Stavolin - -2147483648x-2147483648 - 18446744073709551615 frames, 18446744073709551615 tiles, "
            "17592186044416.0 MB - DataSaver - grey - view only");
  EXPECT_LT(title.size(), kTitleCapacity);
}

using LiveTitleTest = testing::WindowFixture;

TEST_F(LiveTitleTest, ReadsThePictureCounters) {
  picture.width = 1280;
  picture.height = 720;
  picture.bytes = 167772;
  picture.frames = 3;
  picture.tilesPainted = 240;
  picture.keyframes = 99;  // not shown
  UpdateTitle(state, host);
  EXPECT_EQ(host.titles.at(0), "Stavolin - 1280x720 - 3 frames, 240 tiles, 0.2 MB - High");
  // A window made before its session has no picture to read yet.
  EXPECT_EQ(ReadTitleFigures(WindowState{}).frames, 0u);
}

}  // namespace
}  // namespace stv
