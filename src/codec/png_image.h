// PNG tiles through libpng.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/tile_image_codec.h"

namespace stv::agent {

// The eight-byte PNG signature.
bool IsPng(std::span<const uint8_t> image);

// The top-left width x height pixels of a PNG of any colour type and bit depth, interlaced
// or not, as 8-bit B, G, R, A (alpha 255 unless the image carries alpha or a tRNS chunk).
// The image may be larger but not smaller. On failure `out` holds nothing of use.
bool DecodePngTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out);

}  // namespace stv::agent
