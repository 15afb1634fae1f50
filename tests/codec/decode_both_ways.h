// A decoder's two ways to a tile: packed pixels, and straight into a framebuffer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/tile_image_codec.h"

namespace stv::agent {

using DecodeTopLeft = bool (*)(std::span<const uint8_t>, int, int, TilePixels&);
using DecodeIntoTarget = bool (*)(std::span<const uint8_t>, int, int, uint8_t*, size_t, TilePixels&);

// Decodes both ways, the second into a framebuffer three pixels wider than the tile, which must
// get the same pixels on success and be left as it was on failure, its margins always.
inline bool DecodeBothWays(DecodeTopLeft topLeft, DecodeIntoTarget into, std::span<const uint8_t> image, int width,
                           int height, TilePixels& out) {
  const bool decoded = topLeft(image, width, height, out);
  const size_t rowBytes = static_cast<size_t>(width) * 4, stride = rowBytes + 12;
  std::vector<uint8_t> framebuffer(stride * height, 0xA5);
  TilePixels scratch;
  EXPECT_EQ(into(image, width, height, framebuffer.data(), stride, scratch), decoded);
  for (int y = 0; y < height; ++y) {
    const auto row = framebuffer.begin() + y * stride;
    if (decoded) {
      EXPECT_TRUE(std::equal(row, row + rowBytes, out.begin() + y * rowBytes)) << "row " << y;
    }
    EXPECT_TRUE(std::all_of(row + (decoded ? rowBytes : 0), row + stride, [](uint8_t b) { return b == 0xA5; }));
  }
  return decoded;
}

}  // namespace stv::agent
