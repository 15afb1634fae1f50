// BMP and icon tiles against ImageMagick, which writes every layout it can (some patched, some
// hand-made) and whose own decoding is the reference; then damaged and hostile files, which fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "codec/bmp_image.h"
#include "codec/ico_image.h"
#include "decode_both_ways.h"
#include "support/child_process.h"

namespace stv::agent {
namespace {

using Bytes = std::vector<uint8_t>;
using Patch = std::function<void(Bytes&)>;

uint32_t Get32(const Bytes& b, size_t i) { return b[i] | b[i + 1] << 8 | b[i + 2] << 16 | uint32_t(b[i + 3]) << 24; }
void Put32(Bytes& b, size_t i, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[i + k] = uint8_t(v >> 8 * k);
}

bool Decode(const Bytes& file, int width, int height, TilePixels& out) {
  return IsIco(file) ? DecodeIcoTopLeft(file, width, height, out)
                     : DecodeBothWays(DecodeBmpTopLeft, DecodeBmpInto, file, width, height, out);
}

// A BMP with a 40-byte header and `colours` palette entries, then `data` as the pixels.
Bytes MakeBmp(int32_t width, int32_t height, int bits, uint32_t compression, int colours, const Bytes& data) {
  Bytes b(54 + 4 * colours);
  b[0] = 'B', b[1] = 'M', b[14] = 40, b[26] = 1, b[28] = uint8_t(bits), b[30] = uint8_t(compression);
  Put32(b, 10, uint32_t(b.size())), Put32(b, 18, width), Put32(b, 22, height), Put32(b, 46, colours);
  for (int i = 0; i < colours; ++i) b[54 + 4 * i] = uint8_t(i * 60), b[55 + 4 * i] = uint8_t(250 - i * 30);
  b.insert(b.end(), data.begin(), data.end());
  Put32(b, 2, uint32_t(b.size()));
  return b;
}

void ZeroFourthBytes(Bytes& b, size_t from, size_t to) {
  for (size_t i = from + 3; i < to; i += 4) b[i] = 0;
}
Patch ShrinkHeader(uint32_t size) {  // a 124-byte header cut to `size` bytes
  return [size](Bytes& b) {
    b.erase(b.begin() + 14 + size, b.begin() + 14 + 124);
    Put32(b, 14, size), Put32(b, 10, Get32(b, 10) - (124 - size)), Put32(b, 2, uint32_t(b.size()));
  };
}

// ImageMagick widens channels below 5 bits by shifting alone, so all ones is not 255.
enum Expect { kAsIs, kFourBitChannels, kBinaryAlpha };

void ExpectAsImageMagick(const std::string& path, const Bytes& file, int width, int height, Expect expect) {
  SCOPED_TRACE(path);
  // Without -alpha set, an image ImageMagick reads as opaque can come out with alpha 0.
  const auto reference = testing::RunCommand({"convert", path + "[0]", "-alpha", "set", "-depth", "8", "BGRA:-"});
  ASSERT_EQ(reference.exitCode, 0) << reference.errors;
  Bytes expected(reference.output.begin(), reference.output.end());
  for (size_t i = 0; i < expected.size(); ++i) {
    if (expect == kFourBitChannels) expected[i] |= expected[i] >> 4;
    if (expect == kBinaryAlpha && i % 4 == 3) expected[i] = expected[i] != 0 ? 255 : 0;
  }
  TilePixels out;
  ASSERT_TRUE(Decode(file, width, height, out));
  EXPECT_TRUE(std::ranges::equal(out, expected));
  ASSERT_TRUE(Decode(file, 5, 3, out));  // the top-left corner
  for (int y = 0; y < 3; ++y)
    EXPECT_TRUE(std::equal(out.begin() + y * 20, out.begin() + y * 20 + 20, &expected[y * width * 4]));
}

TEST(BmpIcoTest, DecodesAsImageMagickDoes) {
  if (!testing::ProgramOnPath("convert")) GTEST_SKIP() << "ImageMagick's convert is not installed";
  testing::TempDir dir;
  const std::string source = dir / "source.png";
  const std::string gradients =
      "convert -size 37x23 gradient:'#f80'-'#08f' \\( -size 23x37 gradient:white-black "
      "-rotate 90 \\) -alpha off -compose copy_opacity -composite ";
  ASSERT_EQ(testing::RunShell(gradients + source).exitCode, 0);
  const auto iconZeroAlpha = [](Bytes& b) { ZeroFourthBytes(b, Get32(b, 18) + 40, Get32(b, 18) + 40 + 37 * 23 * 4); };
  const auto zeroAlpha = [](Bytes& b) { ZeroFourthBytes(b, Get32(b, 10), b.size()); };
  const auto noBitFields = [](Bytes& b) { b[30] = 0; };  // 16 bits are then 5-5-5
  // Options, then the file, whose prefix names ImageMagick's writer; a patch; the expectation;
  // the side of a square image (0: 37 x 23).
  std::vector<std::tuple<std::string, Patch, Expect, int>> variants = {
      {"-alpha off BMP3:top-down.bmp", [](Bytes& b) { Put32(b, 22, -Get32(b, 22)); }, kAsIs, 0},
      {"-define bmp3:alpha=true BMP3:rgb32-0.bmp", zeroAlpha, kAsIs, 0},
      {"-type TrueColorAlpha BMP:v4.bmp", ShrinkHeader(108), kAsIs, 0},
      {"-type TrueColorAlpha BMP:h56.bmp", ShrinkHeader(56), kAsIs, 0},
      {"-alpha off -define bmp:subtype=RGB555 BMP:rgb16.bmp", noBitFields, kAsIs, 0},
      {"-alpha off -define bmp:subtype=RGB565 BMP:h40-565.bmp", [](Bytes& b) { ShrinkHeader(52)(b), b[14] = 40; },
       kAsIs, 0},
      {"-define bmp:subtype=ARGB4444 BMP:4444.bmp", nullptr, kFourBitChannels, 0},
      {"-define bmp:subtype=ARGB1555 BMP:1555.bmp", nullptr, kBinaryAlpha, 0},
      {"ICO:icon32-zero.ico", iconZeroAlpha, kBinaryAlpha, 0},
      {"-resize 256x256! -depth 8 -define icon:auto-resize=256,16 ICO:icon-png.ico", nullptr, kAsIs, 256}};
  std::stringstream plain(
      "-alpha off BMP3:rgb24.bmp;-alpha off BMP2:core24.bmp;-alpha off BMP:v5-24.bmp;ICO:icon32.ico;"
      "-define bmp3:alpha=true BMP3:rgb32.bmp;-type TrueColorAlpha BMP:v5-32.bmp;-type Bilevel BMP3:p1.bmp;"
      "-colors 200 -type PaletteAlpha BMP:pa.bmp;-colors 200 -type Palette -compress None BMP3:p8.bmp;"
      "-colors 12 -type Palette BMP3:p4.bmp;-colors 200 -type Palette BMP2:core8.bmp;-type Bilevel BMP2:core1.bmp;"
      "-colors 12 -type Palette BMP2:core4.bmp;-colors 200 -type Palette BMP3:rle8.bmp;-type Bilevel ICO:icon1.ico;"
      "-colors 50 -type Palette -compress RLE BMP:v5-rle8.bmp;-alpha off -define bmp:subtype=RGB565 BMP:565.bmp;"
      "-alpha off -define bmp:subtype=RGB555 BMP:555.bmp;-colors 12 -type Palette ICO:icon4.ico;"
      "-colors 12 -type PaletteAlpha ICO:icon4a.ico;-colors 100 -type Palette ICO:icon8.ico");
  for (std::string command; std::getline(plain, command, ';');) variants.emplace_back(command, nullptr, kAsIs, 0);
  for (const auto& [options, patch, expect, side] : variants) {
    const size_t colon = options.find(':', options.rfind(' ') + 1);
    const std::string path = dir / options.substr(colon + 1);
    const std::string command = "convert " + source + " " + options.substr(0, colon + 1) + path;
    ASSERT_EQ(testing::RunShell(command).exitCode, 0) << command;
    Bytes file = testing::ReadFileBytes(path);
    if (patch) patch(file);
    // ImageMagick keeps a 32-bit icon's alpha of zeros: that one compares with the original,
    // whose alpha made the mask.
    if (expect != kBinaryAlpha) std::ofstream(path, std::ios::binary) << std::string(file.begin(), file.end());
    ExpectAsImageMagick(path, file, side ? side : 37, side ? side : 23, expect);
  }
  // Runs ImageMagick does not write: 4-bit ones, literals of odd length, moves, an early end.
  const Bytes rle4 = {3, 0x12, 0, 4, 0x30, 0x41, 0, 0, 0, 2, 2, 1, 5, 0x43, 0, 0, 0, 3, 0x12, 0x30, 0, 1, 0, 0};
  const Bytes rle8 = {2, 3, 0, 3, 1, 2, 4, 0, 0, 2, 1, 2, 1, 4, 0, 0, 4, 1, 0, 1, 0, 0};
  for (const auto& [name, file] : {std::pair{"rle4.bmp", MakeBmp(7, 4, 4, 2, 5, rle4)},
                                   std::pair{"rle8-moves.bmp", MakeBmp(7, 4, 8, 1, 5, rle8)}}) {
    std::ofstream(dir / name, std::ios::binary) << std::string(file.begin(), file.end());
    ExpectAsImageMagick(dir / name, file, 7, 4, kAsIs);
  }
}

TEST(BmpIcoTest, RefusesDamagedAndHostileFiles) {
  const Bytes bmp = MakeBmp(4, 2, 8, 0, 4, {0, 1, 2, 3, 3, 2, 1, 0});
  const Bytes rle = MakeBmp(4, 2, 8, 1, 4, {2, 1, 0, 2, 1, 1, 0, 1});  // a run, a move, the end
  const Bytes bgr = MakeBmp(4, 2, 24, 0, 0, Bytes(24, 7));
  // The same bitmap as an icon: the height doubled, then a mask of two rows.
  Bytes ico = {0, 0, 1, 0, 1, 0, 4, 2, 0, 0, 1, 0, 8, 0, 0, 0, 0, 0, 22, 0, 0, 0};
  ico.insert(ico.end(), bmp.begin() + 14, bmp.end());
  ico.insert(ico.end(), 8, 0);
  Put32(ico, 14, uint32_t(ico.size() - 22)), Put32(ico, 30, 4);
  TilePixels out;
  for (const Bytes& good : {bmp, rle, bgr, ico}) ASSERT_TRUE(Decode(good, 4, 2, out));
  EXPECT_FALSE(Decode(bmp, 5, 2, out));  // smaller than the tile
  const std::tuple<const char*, const Bytes*, Patch> cases[] = {
      {"60000 x 60000", &bmp, [](Bytes& b) { Put32(b, 18, 60000), Put32(b, 22, 60000); }},
      {"zero width", &bmp, [](Bytes& b) { Put32(b, 18, 0); }},
      {"zero height", &bmp, [](Bytes& b) { Put32(b, 22, 0); }},
      {"negative width", &bmp, [](Bytes& b) { Put32(b, 18, uint32_t(-4)); }},
      {"index past the palette", &bmp, [](Bytes& b) { b.back() = 4; }},
      {"palette beyond 8 bits", &bmp, [](Bytes& b) { Put32(b, 46, 257); }},
      {"pixels cut short", &bmp, [](Bytes& b) { b.pop_back(); }},
      {"24-bit pixels cut short", &bgr, [](Bytes& b) { b.pop_back(); }},
      {"pixels past the end", &bmp, [](Bytes& b) { Put32(b, 10, 0xFFFFFFF0); }},
      {"pixels inside the palette", &bmp, [](Bytes& b) { Put32(b, 10, 60); }},
      {"run past the row", &rle, [](Bytes& b) { b[b.size() - 8] = 5; }},
      {"move past the row", &rle, [](Bytes& b) { b[b.size() - 4] = 3; }},
      {"move past the image", &rle, [](Bytes& b) { b[b.size() - 3] = 2; }},
      {"literal cut short", &rle, [](Bytes& b) { b[b.size() - 8] = 1, b[b.size() - 5] = 3, b.pop_back(); }},
      {"no end of image", &rle, [](Bytes& b) { b.resize(b.size() - 2); }},
      {"runs top-down", &rle, [](Bytes& b) { Put32(b, 22, uint32_t(-2)); }},
      {"icon past the end", &ico, [](Bytes& b) { Put32(b, 18, 0xFFFFFFF0); }},
      {"icon longer than the file", &ico, [](Bytes& b) { Put32(b, 14, Get32(b, 14) + 1); }},
      {"icon inside the directory", &ico, [](Bytes& b) { Put32(b, 18, 6); }},
      {"directory longer than the file", &ico, [](Bytes& b) { b[5] = 16; }},
      {"icon mask cut short", &ico, [](Bytes& b) { b.pop_back(), Put32(b, 14, Get32(b, 14) - 1); }},
  };
  for (const auto& [what, base, damage] : cases) {
    Bytes file = *base;
    damage(file);
    EXPECT_FALSE(Decode(file, 4, 2, out)) << what;
  }
}

}  // namespace
}  // namespace stv::agent
