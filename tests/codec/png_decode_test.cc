// PNG decoding of every colour type and bit depth, checked against images this file's own
// small encoder builds sample by sample, so the expected pixels are known exactly.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <span>
#include <vector>

#include "codec/system_image_codec.h"
#include "common/byte_order.h"

namespace stv {
namespace {

using Bytes = std::vector<uint8_t>;

void PutChunk(Bytes& out, const char* type, const Bytes& body) {
  AppendU32Be(out, uint32_t(body.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), body.begin(), body.end());
  AppendU32Be(out, uint32_t(crc32(0, out.data() + start, uInt(out.size() - start))));
}

struct PngCase {
  int colorType;  // 0 gray, 2 RGB, 3 palette, 4 gray + alpha, 6 RGBA
  int bitDepth;
  bool transparentColor;  // a tRNS chunk
  bool interlaced;
};

// A 13 x 11 image of random samples, and in `expected` the B, G, R, A pixels it stands for.
// Odd sizes leave partial bytes in packed rows and partial Adam7 blocks.
Bytes MakePng(const PngCase& c, Bytes& expected) {
  constexpr int kWidth = 13, kHeight = 11;
  const int depth = c.bitDepth;
  const int channels = c.colorType == 2 ? 3 : c.colorType == 4 ? 2 : c.colorType == 6 ? 4 : 1;
  const int levels = 1 << std::min(depth, c.colorType == 3 ? 4 : 8);
  std::mt19937 random(c.colorType * 100 + depth);
  std::vector<uint16_t> samples(kWidth * kHeight * channels);  // rows from the top
  for (uint16_t& sample : samples) sample = uint16_t(random() % levels * (depth == 16 ? 257 : 1));
  Bytes palette, trns;  // RGB triples; the tRNS chunk's body
  for (int i = 0; c.colorType == 3 && i < levels; ++i) {
    palette.insert(palette.end(), {uint8_t(i * 9), uint8_t(200 - i), uint8_t(i * 5 + 1)});
  }
  // The first pixel's colour becomes transparent, so at least one pixel is affected; a
  // palette's list is shorter than the palette, the rest stay opaque.
  if (c.transparentColor && c.colorType == 3) trns = {0, 77, 128};
  for (int ch = 0; c.transparentColor && c.colorType != 3 && ch < channels; ++ch) {
    trns.insert(trns.end(), {uint8_t(samples[ch] >> 8), uint8_t(samples[ch])});
  }

  auto to8 = [&](uint16_t sample) { return uint8_t(depth == 16 ? sample >> 8 : sample * 255 / ((1 << depth) - 1)); };
  expected.clear();
  for (auto s = samples.begin(); s != samples.end(); s += channels) {
    uint8_t r = to8(s[0]), g = r, b = r, a = 255;
    if (c.colorType == 3) {
      r = palette[s[0] * 3], g = palette[s[0] * 3 + 1], b = palette[s[0] * 3 + 2];
      if (s[0] < trns.size()) a = trns[s[0]];
    } else {
      if (channels >= 3) g = to8(s[1]), b = to8(s[2]);
      if (channels % 2 == 0) a = to8(s[channels - 1]);
      if (!trns.empty() && std::equal(s, s + channels, samples.begin())) a = 0;
    }
    expected.insert(expected.end(), {b, g, r, a});
  }

  // Filtered (filter 0) rows, each pass's pixels x0, x0 + x step, ... of rows y0, y0 + y step, ...
  static constexpr int kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                       {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  static constexpr int kPlain[1][4] = {{0, 0, 1, 1}};
  Bytes raw;
  for (const auto& pass : c.interlaced ? std::span<const int[4]>(kAdam7) : std::span<const int[4]>(kPlain)) {
    for (int y = pass[1]; y < kHeight && pass[0] < kWidth; y += pass[3]) {  // an empty pass has no rows at all
      raw.push_back(0);
      int bitsUsed = 0;
      for (int x = pass[0]; x < kWidth; x += pass[2]) {
        for (int ch = 0; ch < channels; ++ch) {
          const uint16_t v = samples[size_t((y * kWidth + x) * channels + ch)];
          if (depth == 16) raw.push_back(uint8_t(v >> 8));
          if (depth >= 8) raw.push_back(uint8_t(v));
          if (depth >= 8) continue;
          if (bitsUsed == 0) raw.push_back(0);
          bitsUsed += depth;
          raw.back() |= uint8_t(v << (8 - bitsUsed));
          bitsUsed %= 8;
        }
      }
    }
  }
  uLongf packedSize = compressBound(raw.size());
  Bytes packed(packedSize);
  compress2(packed.data(), &packedSize, raw.data(), raw.size(), 9);
  packed.resize(packedSize);

  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, header;
  AppendU32Be(header, kWidth);
  AppendU32Be(header, kHeight);
  header.insert(header.end(), {uint8_t(depth), uint8_t(c.colorType), 0, 0, uint8_t(c.interlaced)});
  PutChunk(out, "IHDR", header);
  if (!palette.empty()) PutChunk(out, "PLTE", palette);
  if (!trns.empty()) PutChunk(out, "tRNS", trns);
  PutChunk(out, "IDAT", packed);
  PutChunk(out, "IEND", {});
  return out;
}

// Every colour type and depth, with and without a transparent colour and Adam7: each
// conversion to B, G, R, A and each way of reading rows.
TEST(PngDecodeTest, DecodesExactlyAndCropsTheTopLeftCorner) {
  const PngCase cases[] = {{0, 1, false, false}, {0, 2, false, true},   {0, 4, true, false},  {0, 8, false, true},
                           {0, 16, true, true},  {2, 8, false, false},  {2, 8, true, true},   {2, 16, false, true},
                           {3, 1, false, false}, {3, 2, true, true},    {3, 4, false, true},  {3, 8, true, false},
                           {4, 8, false, true},  {4, 16, false, false}, {6, 8, false, false}, {6, 8, false, true},
                           {6, 16, false, true}};
  agent::SystemImageCodec codec;
  for (const PngCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "type " << c.colorType << ", depth " << c.bitDepth
                                      << (c.transparentColor ? ", tRNS" : "") << (c.interlaced ? ", Adam7" : ""));
    Bytes expected;
    const Bytes png = MakePng(c, expected);
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
}

TEST(PngLimitsTest, HugeOrDamagedImagesFailWithoutDecoding) {
  agent::SystemImageCodec codec;
  Bytes expected;
  const Bytes png = MakePng({2, 8, false, false}, expected);
  TilePixels out;

  Bytes damaged = png;
  damaged[damaged.size() - 20] ^= 0x55;  // inside IDAT: the chunk's CRC no longer matches
  EXPECT_FALSE(codec.Decode(damaged, 13, 11, out));

  // A header claiming 60000 x 60000 pixels (14 GB) over the same few bytes of data.
  Bytes huge(png.begin(), png.begin() + 8), header(png.begin() + 16, png.begin() + 29);
  header[2] = header[6] = 60000 >> 8;
  header[3] = header[7] = 60000 & 0xFF;
  PutChunk(huge, "IHDR", header);
  huge.insert(huge.end(), png.begin() + 33, png.end());
  EXPECT_FALSE(codec.Decode(huge, 1, 1, out));
  EXPECT_TRUE(out.empty());

  // A text chunk whose length field claims 2 GiB, with the data cut short: refused at once,
  // without libpng first allocating (and clearing) a buffer of that size.
  Bytes bigChunk(png.begin(), png.begin() + 33);
  bigChunk.insert(bigChunk.end(), {0x7F, 0xFF, 0xFF, 0x00, 't', 'E', 'X', 't', 'a', 'b'});
  EXPECT_FALSE(codec.Decode(bigChunk, 13, 11, out));
}

}  // namespace
}  // namespace stv
