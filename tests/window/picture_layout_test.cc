#include "window/picture_layout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "window_fixture.h"

namespace stv {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(LetterboxTest, WidePictureInSquareClientGetsBarsAboveAndBelow) {
  const PictureRect client{0, 0, 1000, 1000};
  const PictureRect picture = LetterboxRect(client, 1920, 1080);
  EXPECT_EQ(picture, (PictureRect{0, 219, 1000, 781}));
  EXPECT_EQ(picture.Width(), 1000);
  EXPECT_EQ(picture.Height(), 562);
  EXPECT_THAT(MarginRects(client, picture),
              ElementsAre(PictureRect{0, 0, 1000, 219}, PictureRect{0, 781, 1000, 1000}));
}

TEST(LetterboxTest, TallPictureGetsBarsLeftAndRight) {
  const PictureRect client{0, 0, 1280, 800};
  const PictureRect picture = LetterboxRect(client, 1000, 1000);
  EXPECT_EQ(picture, (PictureRect{240, 0, 1040, 800}));
  EXPECT_THAT(MarginRects(client, picture),
              ElementsAre(PictureRect{0, 0, 240, 800}, PictureRect{1040, 0, 1280, 800}));
}

TEST(LetterboxTest, SmallPictureIsScaledUp) {
  EXPECT_EQ(LetterboxRect({0, 0, 1280, 800}, 640, 360), (PictureRect{0, 40, 1280, 760}));
  EXPECT_EQ(LetterboxRect({0, 0, 1280, 800}, 1, 1), (PictureRect{240, 0, 1040, 800}));
}

TEST(LetterboxTest, ExactFitLeavesNoMargins) {
  const PictureRect client{0, 0, 1280, 720};
  const PictureRect picture = LetterboxRect(client, 1280, 720);
  EXPECT_EQ(picture, client);
  EXPECT_THAT(MarginRects(client, picture), IsEmpty());
}

TEST(LetterboxTest, OddRemaindersGoBelowAndRight) {
  // 101 - 50 leaves 51 rows: 25 above, 26 below.
  const PictureRect client{0, 0, 100, 101};
  const PictureRect picture = LetterboxRect(client, 2, 1);
  EXPECT_EQ(picture, (PictureRect{0, 25, 100, 75}));
}

TEST(LetterboxTest, ExtremeAspectKeepsAtLeastOnePixel) {
  EXPECT_EQ(LetterboxRect({0, 0, 100, 100}, 65535, 1), (PictureRect{0, 49, 100, 50}));
  EXPECT_EQ(LetterboxRect({0, 0, 100, 100}, 1, 65535), (PictureRect{49, 0, 50, 100}));
}

TEST(LetterboxTest, ClientOffsetIsHonoured) {
  EXPECT_EQ(LetterboxRect({10, 20, 1010, 1020}, 1920, 1080), (PictureRect{10, 239, 1010, 801}));
}

TEST(LetterboxTest, EmptyClientAreaIsTheRectangleItself) {
  EXPECT_EQ(LetterboxRect({0, 0, 1000, 0}, 1920, 1080), (PictureRect{0, 0, 1000, 0}));
  EXPECT_EQ(LetterboxRect({0, 0, 0, 0}, 1920, 1080), (PictureRect{}));
}

TEST(MarginTest, EveryMarginSpansTheFullClientAlongItsSide) {
  const PictureRect client{0, 0, 100, 100};
  EXPECT_THAT(MarginRects(client, {10, 20, 90, 80}),
              ElementsAre(PictureRect{0, 0, 100, 20}, PictureRect{0, 80, 100, 100}, PictureRect{0, 0, 10, 100},
                          PictureRect{90, 0, 100, 100}));
}

}  // namespace
}  // namespace stv
