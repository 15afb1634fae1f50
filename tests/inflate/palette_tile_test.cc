#include <gtest/gtest.h>

#include "inflate/deflate_writer.h"
#include "protocol/tile_decompression.h"

namespace stv {
namespace {

std::vector<uint8_t> Compress(const std::vector<uint8_t>& payload) {
  return test::ZlibCompress(payload, 6, 0);
}

// Count bytes, P entries with colour value 0x10203000 + i, then the indexes.
std::vector<uint8_t> Payload(uint8_t countLow, uint8_t countHigh, int entries,
                             const std::vector<uint8_t>& indexes) {
  std::vector<uint8_t> payload = {countLow, countHigh};
  for (int i = 0; i < entries; ++i) payload.insert(payload.end(), {uint8_t(i), 0x30, 0x20, 0x10});
  payload.insert(payload.end(), indexes.begin(), indexes.end());
  return payload;
}

TEST(PaletteTileTest, CountIsLittleEndianFromOneTo256) {
  std::vector<uint8_t> out;
  const std::vector<uint8_t> zeros(6, 0);
  EXPECT_FALSE(DecodePaletteTile(Compress(Payload(0, 0, 0, zeros)), 3, 2, out));
  EXPECT_FALSE(DecodePaletteTile(Compress(Payload(1, 1, 257, zeros)), 3, 2, out));

  ASSERT_TRUE(DecodePaletteTile(Compress(Payload(1, 0, 1, zeros)), 3, 2, out));
  ASSERT_EQ(out.size(), 24u);
  for (size_t i = 0; i < out.size(); i += 4) {
    EXPECT_EQ((std::vector<uint8_t>(out.begin() + long(i), out.begin() + long(i) + 4)),
              (std::vector<uint8_t>{0, 0x30, 0x20, 0x10}));
  }
  // 0x00 0x01 is 256 entries, so index 255 is valid.
  ASSERT_TRUE(DecodePaletteTile(Compress(Payload(0, 1, 256, {255, 0})), 2, 1, out));
  EXPECT_EQ(out, (std::vector<uint8_t>{255, 0x30, 0x20, 0x10, 0, 0x30, 0x20, 0x10}));
}

TEST(PaletteTileTest, IndexesAndLengths) {
  std::vector<uint8_t> out;
  const std::vector<uint8_t> indexes = {0, 1, 2, 2, 1, 0};
  EXPECT_TRUE(DecodePaletteTile(Compress(Payload(3, 0, 3, indexes)), 3, 2, out));
  EXPECT_FALSE(DecodePaletteTile(Compress(Payload(2, 0, 2, indexes)), 3, 2, out));  // index == P
  auto lastBad = indexes;
  lastBad.back() = 3;
  EXPECT_FALSE(DecodePaletteTile(Compress(Payload(3, 0, 3, lastBad)), 3, 2, out));

  // Too short: one index missing, a palette cut short, a lone count byte.
  EXPECT_FALSE(DecodePaletteTile(Compress(Payload(3, 0, 3, {0, 1, 2, 2, 1})), 3, 2, out));
  auto shortPalette = Payload(3, 0, 2, {});
  EXPECT_FALSE(DecodePaletteTile(Compress(shortPalette), 1, 1, out));
  EXPECT_FALSE(DecodePaletteTile(Compress({1}), 1, 1, out));
  // Trailing bytes after the indexes are ignored.
  auto trailing = Payload(3, 0, 3, indexes);
  trailing.insert(trailing.end(), 100, 9);
  EXPECT_TRUE(DecodePaletteTile(Compress(trailing), 3, 2, out));
  EXPECT_EQ(out.size(), 24u);

  const auto good = Compress(Payload(3, 0, 3, indexes));
  for (auto [w, h] : {std::pair{0, 6}, {6, 0}, {-3, -2}}) {
    EXPECT_FALSE(DecodePaletteTile(good, w, h, out)) << w << "x" << h;
  }
  auto badChecksum = good;
  badChecksum.back() ^= 0x80;
  EXPECT_FALSE(DecodePaletteTile(badChecksum, 3, 2, out));
}

}  // namespace
}  // namespace stv
