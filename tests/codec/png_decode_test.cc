// PNG decoding of every colour type and bit depth, checked against images this file's own
// small encoder builds sample by sample, so the expected pixels are known exactly.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "codec/system_image_codec.h"
#include "common/byte_order.h"

namespace stv {
namespace {

struct PngImage {
  int width = 13, height = 11, bitDepth = 8;
  int colorType = 6;  // 0 gray, 2 RGB, 3 palette, 4 gray + alpha, 6 RGBA
  bool interlaced = false;
  std::vector<uint16_t> samples;  // channels per pixel, rows from the top
  std::vector<uint8_t> palette;   // RGB triples
  std::vector<uint8_t> trns;      // the tRNS chunk's body, when not empty
};

int PngChannels(int colorType) { return colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1; }

void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& body) {
  AppendU32Be(out, static_cast<uint32_t>(body.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), body.begin(), body.end());
  AppendU32Be(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

// Appends one filtered (filter 0) row holding the pixels x0, x0 + step, ... of row y.
void PutRow(std::vector<uint8_t>& raw, const PngImage& image, int y, int x0, int step) {
  const int channels = PngChannels(image.colorType);
  raw.push_back(0);
  int bitsUsed = 0;
  for (int x = x0; x < image.width; x += step) {
    for (int c = 0; c < channels; ++c) {
      const uint16_t v = image.samples[(static_cast<size_t>(y) * image.width + x) * channels + c];
      if (image.bitDepth == 16) raw.push_back(static_cast<uint8_t>(v >> 8));
      if (image.bitDepth >= 8) {
        raw.push_back(static_cast<uint8_t>(v));
        continue;
      }
      if (bitsUsed == 0) raw.push_back(0);
      bitsUsed += image.bitDepth;
      raw.back() |= static_cast<uint8_t>(v << (8 - bitsUsed));
      bitsUsed %= 8;
    }
  }
}

std::vector<uint8_t> EncodePng(const PngImage& image) {
  std::vector<uint8_t> raw;
  // Adam7 passes as x0, y0, x step, y step; a plain image is one pass over every pixel.
  static constexpr int kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                       {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  static constexpr int kPlain[1][4] = {{0, 0, 1, 1}};
  for (const auto& pass : image.interlaced ? std::span<const int[4]>(kAdam7) : std::span<const int[4]>(kPlain)) {
    if (pass[0] >= image.width) continue;  // an empty pass has no rows at all
    for (int y = pass[1]; y < image.height; y += pass[3]) PutRow(raw, image, y, pass[0], pass[2]);
  }
  uLongf packedSize = compressBound(raw.size());
  std::vector<uint8_t> packed(packedSize);
  compress2(packed.data(), &packedSize, raw.data(), raw.size(), 9);
  packed.resize(packedSize);

  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, header;
  AppendU32Be(header, image.width);
  AppendU32Be(header, image.height);
  header.insert(header.end(), {uint8_t(image.bitDepth), uint8_t(image.colorType), 0, 0, uint8_t(image.interlaced)});
  PutChunk(out, "IHDR", header);
  if (!image.palette.empty()) PutChunk(out, "PLTE", image.palette);
  if (!image.trns.empty()) PutChunk(out, "tRNS", image.trns);
  PutChunk(out, "IDAT", packed);
  PutChunk(out, "IEND", {});
  return out;
}

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
  image.bitDepth = c.bitDepth, image.colorType = c.colorType, image.interlaced = c.interlaced;
  std::mt19937 random(c.colorType * 100 + c.bitDepth);
  const int channels = PngChannels(c.colorType);
  const int levels = c.colorType == 3 ? (1 << std::min(c.bitDepth, 4)) - 1 : (1 << std::min(c.bitDepth, 8)) - 1;
  for (int i = 0; i < image.width * image.height * channels; ++i) {
    const uint16_t level = static_cast<uint16_t>(random() % (levels + 1));
    image.samples.push_back(c.bitDepth == 16 ? static_cast<uint16_t>(level * 257) : level);
  }
  if (c.colorType == 3) {
    for (int i = 0; i <= levels; ++i)
      image.palette.insert(image.palette.end(), {uint8_t(i * 9), uint8_t(200 - i), uint8_t(i * 5 + 1)});
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
  const int channels = PngChannels(image.colorType);
  std::vector<uint8_t> out;
  for (int i = 0; i < image.width * image.height; ++i) {
    const uint16_t* s = &image.samples[static_cast<size_t>(i) * channels];
    uint8_t r, g, b, a = 255;
    if (image.colorType == 3) {
      const uint8_t* rgb = &image.palette[s[0] * 3];
      r = rgb[0], g = rgb[1], b = rgb[2];
      if (s[0] < image.trns.size()) a = image.trns[s[0]];
    } else {
      const bool color = image.colorType == 2 || image.colorType == 6;
      r = To8(s[0], image.bitDepth);
      g = color ? To8(s[1], image.bitDepth) : r;
      b = color ? To8(s[2], image.bitDepth) : r;
      if (image.colorType == 4 || image.colorType == 6) a = To8(s[channels - 1], image.bitDepth);
      if (!image.trns.empty() && std::equal(s, s + channels, image.samples.begin())) a = 0;
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
  const std::vector<uint8_t> png = EncodePng(MakeImage({2, 8, false, false}));
  TilePixels out;

  std::vector<uint8_t> damaged = png;
  damaged[damaged.size() - 20] ^= 0x55;  // inside IDAT: the chunk's CRC no longer matches
  EXPECT_FALSE(codec.Decode(damaged, 13, 11, out));

  // A header claiming 60000 x 60000 pixels (14 GB) over the same few bytes of data.
  std::vector<uint8_t> huge(png.begin(), png.begin() + 8), header(png.begin() + 16, png.begin() + 29);
  header[2] = header[6] = 60000 >> 8;
  header[3] = header[7] = 60000 & 0xFF;
  PutChunk(huge, "IHDR", header);
  huge.insert(huge.end(), png.begin() + 33, png.end());
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
