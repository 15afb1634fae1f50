#include <gtest/gtest.h>

#include "protocol/deflate_writer.h"
#include "protocol/tile_decompression.h"

namespace stv {
namespace {

// Count bytes, `entries` colours 0x10203000 + i, then the indexes.
std::vector<uint8_t> Payload(uint8_t countLow, uint8_t countHigh, int entries, const std::vector<uint8_t>& indexes) {
  std::vector<uint8_t> payload = {countLow, countHigh};
  for (int i = 0; i < entries; ++i) payload.insert(payload.end(), {uint8_t(i), 0x30, 0x20, 0x10});
  payload.insert(payload.end(), indexes.begin(), indexes.end());
  return payload;
}

TEST(PaletteTileTest, CountIndexesAndLengths) {
  const std::vector<uint8_t> indexes = {0, 1, 2, 2, 1, 0};
  auto trailing = Payload(3, 0, 3, indexes);
  trailing.insert(trailing.end(), 100, 9);
  const struct {
    std::vector<uint8_t> payload;
    int w, h;
    std::vector<uint8_t> pixelIndexes;  // empty: the tile fails
  } cases[] = {
      {Payload(0, 0, 0, indexes), 3, 2, {}},    // no entries
      {Payload(1, 1, 257, indexes), 3, 2, {}},  // 257 entries
      {Payload(1, 0, 1, {0, 0, 0, 0, 0, 0}), 3, 2, {0, 0, 0, 0, 0, 0}},
      {Payload(0, 1, 256, {255, 0}), 2, 1, {255, 0}},  // count little-endian: 256
      {Payload(3, 0, 3, indexes), 3, 2, indexes},
      {trailing, 3, 2, indexes},                         // bytes after the indexes
      {Payload(2, 0, 2, indexes), 3, 2, {}},             // an index equal to the count
      {Payload(3, 0, 3, {0, 1, 2, 2, 1, 3}), 3, 2, {}},  // the last index bad
      {Payload(3, 0, 3, {0, 1, 2, 2, 1}), 3, 2, {}},     // an index missing
      {Payload(3, 0, 2, {}), 1, 1, {}},                  // the palette cut short
      {{1}, 1, 1, {}},                                   // a lone count byte
      {Payload(3, 0, 3, indexes), 0, 6, {}},
      {Payload(3, 0, 3, indexes), 6, 0, {}},
      {Payload(3, 0, 3, indexes), -3, -2, {}},
  };
  std::vector<uint8_t> out;
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    std::vector<uint8_t> expected;
    for (uint8_t index : c.pixelIndexes) expected.insert(expected.end(), {index, 0x30, 0x20, 0x10});
    const bool ok = DecodePaletteTile(test::ZlibCompress(c.payload, 6, 0), c.w, c.h, out);
    EXPECT_EQ(ok, !expected.empty());
    EXPECT_EQ(ok ? out : std::vector<uint8_t>{}, expected);
  }
  auto badChecksum = test::ZlibCompress(Payload(3, 0, 3, indexes), 6, 0);
  badChecksum.back() ^= 0x80;
  EXPECT_FALSE(DecodePaletteTile(badChecksum, 3, 2, out));
}

}  // namespace
}  // namespace stv
