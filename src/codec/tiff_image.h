// TIFF tiles through libtiff.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/tile_image_codec.h"

namespace stv::agent {

// "II*\0" or "MM\0*".
bool IsTiff(std::span<const uint8_t> image);

// The top-left width x height pixels of a TIFF's first image as B, G, R, A, in any layout
// libtiff's RGBA interface reads (RGB, grayscale, palette, YCbCr...; strips or tiles; any
// compression libtiff was built with). Rows come as stored: like ImageMagick, the decoder
// does not apply the Orientation tag. Alpha comes out unassociated; associated alpha is
// divided out as ImageMagick does. The image may be larger but not smaller. On failure
// `out` holds nothing of use.
bool DecodeTiffTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out);
// The same into a rectangle whose rows lie `stride` bytes apart, left as it was on failure:
// libtiff decodes into `scratch`, and the conversion to B, G, R, A writes the rectangle.
bool DecodeTiffInto(std::span<const uint8_t> image, int width, int height, uint8_t* target, size_t stride,
                    TilePixels& scratch);

}  // namespace stv::agent
