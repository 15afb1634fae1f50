// Every expansion method this machine can run, against a plain loop: palette sizes at the
// edges of each method's groups, and pixel counts around the vector widths (tails).
#include "protocol/palette_expansion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace stv {
namespace {

TEST(PaletteExpansionTest, EveryMethodMatchesAPlainLoop) {
  std::mt19937 rng(21);
  PaletteColours colours{};
  for (uint32_t& colour : colours) colour = uint32_t(rng());
  int checked = 0;
  for (PaletteMethod method : {PaletteMethod::kTable, PaletteMethod::kShuffle, PaletteMethod::kWideShuffle}) {
    for (size_t entries : {1, 2, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 200, 256}) {
      if (!PaletteMethodAvailable(method, entries)) continue;
      for (size_t count : {0, 1, 3, 4, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 4099}) {
        std::vector<uint8_t> indexes(count);
        for (uint8_t& index : indexes) index = uint8_t(rng() % entries);
        if (count > 0) indexes[count - 1] = uint8_t(entries - 1);  // the last entry
        std::vector<uint8_t> out(count * 4 + 8, 0xEE);
        ExpandPaletteWith(method, indexes.data(), count, entries, colours, out.data());
        for (size_t i = 0; i < count; ++i) {
          ASSERT_EQ(0, std::memcmp(out.data() + 4 * i, &colours[indexes[i]], 4))
              << "method " << int(method) << ", " << entries << " entries, pixel " << i << " of " << count;
        }
        for (size_t i = count * 4; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << "wrote past";
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 200);                                          // the table alone gives 240
  EXPECT_TRUE(PaletteMethodAvailable(PaletteMethod::kTable, 256));  // on any processor, the fallback
}

TEST(PaletteExpansionTest, HighestIndexFindsTheMaximumAnywhere) {
  std::vector<uint8_t> indexes(70, 3);
  EXPECT_EQ(HighestIndex(indexes.data(), 0), 0);
  for (size_t at : {0, 15, 16, 31, 63, 64, 69}) {
    auto copy = indexes;
    copy[at] = 200;
    EXPECT_EQ(HighestIndex(copy.data(), copy.size()), 200) << at;
    EXPECT_EQ(HighestIndex(copy.data(), at), at == 0 ? 0 : 3) << at;
  }
  indexes[69] = 255;
  EXPECT_EQ(HighestIndex(indexes.data(), indexes.size()), 255);
}

}  // namespace
}  // namespace stv
