// GIF tiles through giflib.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/tile_image_codec.h"

namespace stv::agent {

// "GIF87a" or "GIF89a".
bool IsGif(std::span<const uint8_t> image);

// The top-left width x height pixels of a GIF's first frame, interlaced or not, as B, G, R, A.
// The image is the logical screen, which may be larger but not smaller. The frame is placed
// on it at its offset; the colour of its graphics control block's transparent index gets
// alpha 0, every other colour 255. Screen pixels outside the frame are transparent, in the
// global colour map's background colour (white without a global map), as ImageMagick's
// coalesced first frame has them. A frame reaching past its screen, an index past its colour
// map or a frame cut short fails. On failure `out` holds nothing of use.
bool DecodeGifTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out);

}  // namespace stv::agent
