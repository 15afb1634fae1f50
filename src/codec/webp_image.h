// WebP tiles through libwebp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/tile_image_codec.h"

namespace stv::agent {

// At least 12 bytes, "RIFF" at 0 and "WEBP" at 8; the RIFF size is not checked.
bool IsWebp(std::span<const uint8_t> image);

// Decodes a WebP image that must be exactly width x height into `out` as B, G, R, A.
// On failure `out` holds nothing of use.
bool DecodeWebpExact(std::span<const uint8_t> image, int width, int height, TilePixels& out);

// Lossy WebP of B, G, R, A pixels (stride width * 4); nullopt on failure.
std::optional<std::vector<uint8_t>> EncodeWebpBgra(std::span<const uint8_t> pixels, int width, int height, int quality);

}  // namespace stv::agent
