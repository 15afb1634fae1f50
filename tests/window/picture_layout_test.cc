#include "window/picture_layout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "window_fixture.h"

namespace stv {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(LetterboxTest, WidePictureGetsBarsAboveAndBelow) {
  const PictureRect client{0, 0, 1000, 1000};
  const PictureRect picture = LetterboxRect(client, 1920, 1080);
  EXPECT_EQ(picture, (PictureRect{0, 219, 1000, 781}));  // 1000 x 562
  EXPECT_THAT(MarginRects(client, picture),
              ElementsAre(PictureRect{0, 0, 1000, 219}, PictureRect{0, 781, 1000, 1000}));
}

TEST(LetterboxTest, TallPictureGetsBarsLeftAndRightAndSmallOnesAreScaledUp) {
  const PictureRect client{0, 0, 1280, 800};
  const PictureRect picture = LetterboxRect(client, 10, 10);
  EXPECT_EQ(picture, (PictureRect{240, 0, 1040, 800}));
  EXPECT_THAT(MarginRects(client, picture),
              ElementsAre(PictureRect{0, 0, 240, 800}, PictureRect{1040, 0, 1280, 800}));
  EXPECT_THAT(MarginRects(client, LetterboxRect(client, 1280, 800)), IsEmpty());
}

TEST(LetterboxTest, OffsetClientAndOddRemainders) {
  EXPECT_EQ(LetterboxRect({10, 20, 1010, 1020}, 1920, 1080), (PictureRect{10, 239, 1010, 801}));
  EXPECT_EQ(LetterboxRect({0, 0, 100, 101}, 2, 1), (PictureRect{0, 25, 100, 75}));  // 51 spare rows: 25 above
}

TEST(LetterboxTest, ExtremeAspectKeepsAtLeastOnePixel) {
  EXPECT_EQ(LetterboxRect({0, 0, 100, 100}, 65535, 1), (PictureRect{0, 49, 100, 50}));
  EXPECT_EQ(LetterboxRect({0, 0, 100, 100}, 1, 65535), (PictureRect{49, 0, 50, 100}));
}

TEST(LetterboxTest, EmptyClientAreaIsTheRectangleItself) {
  EXPECT_EQ(LetterboxRect({0, 0, 1000, 0}, 1920, 1080), (PictureRect{0, 0, 1000, 0}));
  EXPECT_EQ(LetterboxRect({}, 1920, 1080), (PictureRect{}));
}

}  // namespace
}  // namespace stv
