#include "window/picture_layout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "window_fixture.h"

namespace stv {
namespace {

using ::testing::ElementsAre;

TEST(LetterboxTest, ScalesToFitAndCentresWithSpareRowsAbove) {
  const struct {
    PictureRect client;
    int width, height;
    PictureRect expected;
  } cases[] = {
      {{0, 0, 1000, 1000}, 1920, 1080, {0, 219, 1000, 781}},  // 1000 x 562, bars above and below
      {{0, 0, 1280, 800}, 10, 10, {240, 0, 1040, 800}},       // scaled up, bars left and right
      {{10, 20, 1010, 1020}, 1920, 1080, {10, 239, 1010, 801}},
      {{0, 0, 100, 101}, 2, 1, {0, 25, 100, 75}},      // 51 spare rows: 25 above
      {{0, 0, 100, 100}, 65535, 1, {0, 49, 100, 50}},  // extreme aspects keep one pixel
      {{0, 0, 100, 100}, 1, 65535, {49, 0, 50, 100}},
      {{0, 0, 1000, 0}, 1920, 1080, {0, 0, 1000, 0}},  // an empty client area is kept as it is
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.client) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
    EXPECT_EQ(LetterboxRect(c.client, c.width, c.height), c.expected);
  }
}

TEST(LetterboxTest, MarginsAreTheBarsBesideThePicture) {
  EXPECT_THAT(MarginRects({0, 0, 1000, 1000}, {0, 219, 1000, 781}),
              ElementsAre(PictureRect{0, 0, 1000, 219}, PictureRect{0, 781, 1000, 1000}));
  EXPECT_THAT(MarginRects({0, 0, 1280, 800}, {240, 0, 1040, 800}),
              ElementsAre(PictureRect{0, 0, 240, 800}, PictureRect{1040, 0, 1280, 800}));
  EXPECT_THAT(MarginRects({0, 0, 1280, 800}, {0, 0, 1280, 800}), ::testing::IsEmpty());
}

}  // namespace
}  // namespace stv
