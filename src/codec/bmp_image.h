// BMP tiles, and the bitmaps inside icons, through a strict reader of our own: every size and
// offset is checked against the data before it is used, and anything odd fails the tile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/tile_image_codec.h"

namespace stv::agent {

// "BM", then the rest of the file header and the size field of the bitmap header.
bool IsBmp(std::span<const uint8_t> image);

// The top-left width x height pixels of a BMP as 8-bit B, G, R, A. Read: headers of 12, 40,
// 52, 56, 108 and 124 bytes; rows bottom-up or top-down; 1, 4 and 8 bits through a palette,
// uncompressed or run-length coded (pixels the runs skip take palette colour 0); 16 bits
// (5-5-5 unless bit fields say otherwise), 24 bits, 32 bits; bit-field masks up to 8 bits
// widen by repeating their bits (so all ones is 255), longer ones keep their top 8 bits.
// Alpha is 255 except where an alpha mask gives it, and for 32-bit pixels without masks
// under a 40-byte header, whose fourth byte is alpha unless it is zero throughout the image.
// The image may be larger but not smaller. On failure `out` holds nothing of use.
bool DecodeBmpTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out);
// The same into a rectangle whose rows lie `stride` bytes apart, left as it was on failure:
// written directly where nothing can fail once writing has begun, otherwise through `scratch`.
bool DecodeBmpInto(std::span<const uint8_t> image, int width, int height, uint8_t* target, size_t stride,
                   TilePixels& scratch);

// The same for the bitmap of an icon: a bitmap header (without the file header) whose height
// counts two images, the palette, the colour pixels, then a 1-bit mask whose set bits are
// transparent pixels. The mask gives alpha below 32 bits, and at 32 bits when the fourth
// byte is zero throughout. Uncompressed only, bottom-up only.
bool DecodeIconBitmapTopLeft(std::span<const uint8_t> bitmap, int width, int height, TilePixels& out);

}  // namespace stv::agent
