#include "window/session_title.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "window_fixture.h"

namespace stv {
namespace {

TEST(SessionTitleTest, ShowsFiguresPresetAndGray) {
  const TitleFigures figures{1920, 1080, 3565158, 12, 480};  // 3.4 MB
  EXPECT_EQ(FormatSessionTitle(figures, QualityPreset::Balanced, true, false),
            "Stavolin - 1920x1080 - 12 frames, 480 tiles, 3.4 MB - Balanced - grey");
}

TEST(SessionTitleTest, BeforeTheFirstFrame) {
  EXPECT_EQ(FormatSessionTitle({}, QualityPreset::High, false, false),
            "Stavolin - 0x0 - 0 frames, 0 tiles, 0.0 MB - High");
}

TEST(SessionTitleTest, ViewOnlyComesLast) {
  EXPECT_EQ(FormatSessionTitle({800, 600, 1048576, 1, 2}, QualityPreset::DataSaver, true, true),
            "Stavolin - 800x600 - 1 frames, 2 tiles, 1.0 MB - DataSaver - grey - view only");
}

TEST(SessionTitleTest, UnknownPresetReadsDataSaver) {
  // Unlike the preset's wire name, which falls back to High.
  EXPECT_EQ(FormatSessionTitle({}, static_cast<QualityPreset>(7), false, false),
            "Stavolin - 0x0 - 0 frames, 0 tiles, 0.0 MB - DataSaver");
}

TEST(SessionTitleTest, LargestFiguresFitTheBuffer) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const TitleFigures figures{std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::min(), kMax, kMax, kMax};
  const std::string title = FormatSessionTitle(figures, QualityPreset::DataSaver, true, true);
  EXPECT_EQ(title,
            "Stavolin - -2147483648x-2147483648 - 18446744073709551615 frames, 18446744073709551615 tiles, "
            "17592186044416.0 MB - DataSaver - grey - view only");
  EXPECT_LT(title.size(), kTitleCapacity);
}

using LiveTitleTest = testing::WindowFixture;

TEST_F(LiveTitleTest, ReadsThePictureCountersAndTheStateFlags) {
  picture.width = 1280;
  picture.height = 720;
  picture.bytes = 167772;  // 0.16 MB
  picture.frames = 3;
  picture.tilesPainted = 240;
  picture.keyframes = 99;  // not shown
  state.preset = QualityPreset::Balanced;
  state.viewOnly = true;
  UpdateTitle(state, host);
  ASSERT_EQ(host.titles.size(), 1u);
  EXPECT_EQ(host.titles[0], "Stavolin - 1280x720 - 3 frames, 240 tiles, 0.2 MB - Balanced - view only");
}

}  // namespace
}  // namespace stv
