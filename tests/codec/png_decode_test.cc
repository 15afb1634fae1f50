// PNG decoding of every colour type and bit depth, checked against images built sample by
// sample, so the expected pixels are known exactly.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "codec/png_writer.h"
#include "codec/system_image_codec.h"

namespace stv {
namespace {

using testing::EncodePng;
using testing::PngImage;

struct PngCase {
  int colorType;
  int bitDepth;
  bool transparentColor;  // a tRNS chunk
  bool interlaced;
};

std::string CaseName(const ::testing::TestParamInfo<PngCase>& info) {
  const PngCase& c = info.param;
  return "type" + std::to_string(c.colorType) + "_depth" + std::to_string(c.bitDepth) +
         (c.transparentColor ? "_trns" : "") + (c.interlaced ? "_adam7" : "");
}

// 13 x 11: odd sizes leave partial bytes in packed rows and partial Adam7 blocks.
PngImage MakeImage(const PngCase& c) {
  PngImage image;
  image.width = 13;
  image.height = 11;
  image.bitDepth = c.bitDepth;
  image.colorType = c.colorType;
  image.interlaced = c.interlaced;
  std::mt19937 random(c.colorType * 100 + c.bitDepth);
  const int channels = testing::PngChannels(c.colorType);
  const int levels = c.colorType == 3 ? (1 << std::min(c.bitDepth, 4)) - 1 : (1 << std::min(c.bitDepth, 8)) - 1;
  for (int i = 0; i < image.width * image.height * channels; ++i) {
    const uint16_t level = static_cast<uint16_t>(random() % (levels + 1));
    image.samples.push_back(c.bitDepth == 16 ? static_cast<uint16_t>(level * 257) : level);
  }
  if (c.colorType == 3) {
    for (int i = 0; i <= levels; ++i) image.palette.insert(image.palette.end(), {uint8_t(i * 9), uint8_t(200 - i), uint8_t(i * 5 + 1)});
  }
  if (c.transparentColor) {
    // The first pixel's colour becomes transparent, so at least one pixel is affected.
    if (c.colorType == 3) {
      image.trns = {0, 77, 128};  // shorter than the palette: the rest stay opaque
    } else {
      for (int ch = 0; ch < channels; ++ch) {
        image.trns.push_back(static_cast<uint8_t>(image.samples[ch] >> 8));
        image.trns.push_back(static_cast<uint8_t>(image.samples[ch]));
      }
    }
  }
  return image;
}

uint8_t To8(uint16_t sample, int depth) {
  if (depth == 16) return static_cast<uint8_t>(sample >> 8);
  return static_cast<uint8_t>(sample * 255 / ((1 << depth) - 1));
}

std::vector<uint8_t> ExpectedBgra(const PngImage& image) {
  const int channels = testing::PngChannels(image.colorType);
  std::vector<uint8_t> out;
  for (int i = 0; i < image.width * image.height; ++i) {
    const uint16_t* s = &image.samples[static_cast<size_t>(i) * channels];
    uint8_t r, g, b, a = 255;
    if (image.colorType == 3) {
      r = image.palette[s[0] * 3];
      g = image.palette[s[0] * 3 + 1];
      b = image.palette[s[0] * 3 + 2];
      if (s[0] < image.trns.size()) a = image.trns[s[0]];
    } else {
      const bool color = image.colorType == 2 || image.colorType == 6;
      r = To8(s[0], image.bitDepth);
      g = color ? To8(s[1], image.bitDepth) : r;
      b = color ? To8(s[2], image.bitDepth) : r;
      if (image.colorType == 4 || image.colorType == 6) a = To8(s[channels - 1], image.bitDepth);
      if (!image.trns.empty()) {
        bool same = true;
        for (int ch = 0; ch < channels; ++ch) same = same && s[ch] == image.samples[ch];
        if (same) a = 0;
      }
    }
    out.insert(out.end(), {b, g, r, a});
  }
  return out;
}

class PngDecodeTest : public ::testing::TestWithParam<PngCase> {};

TEST_P(PngDecodeTest, DecodesExactlyAndCropsTheTopLeftCorner) {
  const PngImage image = MakeImage(GetParam());
  const std::vector<uint8_t> png = EncodePng(image);
  const std::vector<uint8_t> expected = ExpectedBgra(image);
  agent::SystemImageCodec codec;

  TilePixels out;
  ASSERT_TRUE(codec.Decode(png, 13, 11, out));
  EXPECT_TRUE(std::ranges::equal(out, expected));

  ASSERT_TRUE(codec.Decode(png, 5, 4, out));
  ASSERT_EQ(out.size(), 5u * 4 * 4);
  for (int y = 0; y < 4; ++y) {
    EXPECT_TRUE(std::equal(out.begin() + y * 20, out.begin() + y * 20 + 20, expected.begin() + y * 13 * 4))
        << "row " << y;
  }

  EXPECT_FALSE(codec.Decode(png, 14, 11, out));  // smaller than asked
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(codec.Decode(std::span(png).first(png.size() - 20), 13, 11, out));  // cut short
  EXPECT_TRUE(out.empty());
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, PngDecodeTest,
    ::testing::Values(PngCase{0, 1, false, false}, PngCase{0, 2, false, true}, PngCase{0, 4, true, false},
                      PngCase{0, 8, false, true}, PngCase{0, 16, true, true}, PngCase{2, 8, false, false},
                      PngCase{2, 8, true, true}, PngCase{2, 16, false, true}, PngCase{3, 1, false, false},
                      PngCase{3, 2, true, true}, PngCase{3, 4, false, true}, PngCase{3, 8, true, false},
                      PngCase{4, 8, false, true}, PngCase{4, 16, false, false}, PngCase{6, 8, false, false},
                      PngCase{6, 8, false, true}, PngCase{6, 16, false, true}),
    CaseName);

TEST(PngLimitsTest, HugeOrDamagedImagesFailWithoutDecoding) {
  agent::SystemImageCodec codec;
  PngImage image = MakeImage({2, 8, false, false});
  std::vector<uint8_t> png = EncodePng(image);
  TilePixels out;

  std::vector<uint8_t> damaged = png;
  damaged[damaged.size() - 20] ^= 0x55;  // inside IDAT: the chunk's CRC no longer matches
  EXPECT_FALSE(codec.Decode(damaged, 13, 11, out));

  // A header claiming 60000 x 60000 pixels (14 GB) over the same few bytes of data.
  std::vector<uint8_t> huge = png;
  for (int i : {16, 20}) {
    huge[i + 2] = 60000 >> 8;
    huge[i + 3] = 60000 & 0xFF;
  }
  const uint32_t crc = static_cast<uint32_t>(crc32(0, &huge[12], 17));
  for (int i = 0; i < 4; ++i) huge[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  EXPECT_FALSE(codec.Decode(huge, 1, 1, out));
  EXPECT_TRUE(out.empty());

  // A text chunk whose length field claims 2 GiB, with the data cut short: refused at once,
  // without libpng first allocating (and clearing) a buffer of that size.
  std::vector<uint8_t> bigChunk(png.begin(), png.begin() + 33);
  bigChunk.insert(bigChunk.end(), {0x7F, 0xFF, 0xFF, 0x00, 't', 'E', 'X', 't', 'a', 'b'});
  EXPECT_FALSE(codec.Decode(bigChunk, 13, 11, out));
}

}  // namespace
}  // namespace stv
