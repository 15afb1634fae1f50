// Image tiles through the real codec, end to end.
#include <gtest/gtest.h>

#include <cstdlib>

#include "codec/system_image_codec.h"
#include "picture/video_messages.h"
#include "protocol/session_picture.h"

namespace stv {
namespace {

using namespace stv::testing;

Bytes Solid(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
  Bytes pixels;
  for (int i = 0; i < w * h; ++i) pixels.insert(pixels.end(), {b, g, r, 255});
  return pixels;
}

void ExpectNear(const uint8_t* pixel, int b, int g, int r) {
  EXPECT_LE(std::abs(pixel[0] - b) + std::abs(pixel[1] - g) + std::abs(pixel[2] - r), 12);
}

TEST(PictureCodecTest, WebpAndJpegTilesPaintThroughTheCodec) {
  agent::SystemImageCodec codec;
  ASSERT_TRUE(codec.HasFactory());
  SessionPicture picture(&codec);
  ApplyVideoMessage(picture, FrameStart(16, 16));

  const std::optional<Bytes> webp = codec.EncodeWebp(Solid(8, 8, 200, 100, 50), 8, 8, 95);
  const Bytes jpeg = codec.EncodeJpeg(Solid(8, 8, 30, 60, 220), 8, 8, 95);
  ASSERT_TRUE(webp.has_value());
  ASSERT_FALSE(jpeg.empty());

  EXPECT_TRUE(ApplyVideoMessage(
      picture, Batch(1, {{8, 8, 8, 8, 3, *webp}, {0, 0, 8, 8, 4, jpeg}, {0, 8, 8, 4, 3, *webp}})));
  EXPECT_EQ(picture.tilesPainted, 2u);
  EXPECT_EQ(picture.undecodable, 1u);  // a WebP image must be exactly the tile's size
  const auto at = [&](int x, int y) { return &picture.framebuffer[(y * 16 + x) * 4]; };
  ExpectNear(at(15, 15), 200, 100, 50);
  ExpectNear(at(7, 0), 30, 60, 220);
  EXPECT_EQ(at(0, 8)[0], 0);

  // A JPEG may be larger than its tile: its top-left corner is painted.
  EXPECT_TRUE(ApplyVideoMessage(picture, Tile(8, 0, 4, 2, 3, jpeg)));
  ExpectNear(at(11, 1), 30, 60, 220);
  EXPECT_EQ(at(8, 2)[0], 0);
}

}  // namespace
}  // namespace stv
