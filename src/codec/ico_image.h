// Icon (.ico) tiles: the first image of the icon's directory, a PNG or a bitmap.
#pragma once

#include <cstdint>
#include <span>

#include "codec/tile_image_codec.h"

namespace stv::agent {

// A directory of at least one icon: reserved 0, type 1, a non-zero count.
bool IsIco(std::span<const uint8_t> image);

// The top-left width x height pixels of the directory's first image, which must lie wholly
// inside the data after the directory, as 8-bit B, G, R, A. A PNG image decodes as
// DecodePngTopLeft does, a bitmap as DecodeIconBitmapTopLeft; the sizes in the directory
// are not used, the image's own are. On failure `out` holds nothing of use.
bool DecodeIcoTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out);

}  // namespace stv::agent
