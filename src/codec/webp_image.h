// WebP tiles through libwebp.
#pragma once

#include <cstdint>
#include <new>
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

// The decode rule both platform codecs share: an empty image or a size below 1 fails at once;
// WebP goes to libwebp and must be exactly width x height; anything else goes to
// `decodeOther(image, width, height, out)`. A failure empties `out`, keeping its capacity (a
// success overwrites all of it, so a same-sized scratch buffer needs no fill); an allocation
// failure is just a tile that failed.
template <typename DecodeOther>
bool DecodeTile(std::span<const uint8_t> image, int width, int height, TilePixels& out, DecodeOther decodeOther) {
  bool decoded = false;
  try {
    decoded = !image.empty() && width >= 1 && height >= 1 &&
              (IsWebp(image) ? DecodeWebpExact(image, width, height, out) : decodeOther(image, width, height, out));
  } catch (const std::bad_alloc&) {
    decoded = false;
  }
  if (!decoded) out.clear();
  return decoded;
}

// Lossy WebP of B, G, R, A pixels (stride width * 4); nullopt on failure, allocation included.
std::optional<std::vector<uint8_t>> EncodeWebpBgra(std::span<const uint8_t> pixels, int width, int height, int quality);

}  // namespace stv::agent
