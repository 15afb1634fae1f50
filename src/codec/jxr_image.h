// JPEG XR tiles through libjxr, run only inside the decoder process (stv-jxr-decode): libjxr's
// entropy decoder reads past its tables on some corrupt coefficient data, which no check of the
// container or header can catch, and Debian's build crashes there.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/tile_image_codec.h"

namespace stv::agent {

// The top-left width x height pixels of a JPEG XR image as B, G, R, A. The image, in one of
// the 8-bit RGB, BGR, RGBA, BGRA or gray layouts, may be larger but not smaller; it is
// decoded whole, rows as coded (the container's orientation is not applied). Alpha must come
// as a separate plane (JxrEncApp's default); an interleaved alpha channel fails, as does
// metadata in the container. On failure `out` holds nothing of use.
bool DecodeJxrTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out);

}  // namespace stv::agent
