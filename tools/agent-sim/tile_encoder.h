// Per-tile encoding: raw, zlib, palette, WebP, JPEG, PNG, or a per-tile mix of them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "image_encoders.h"
#include "video_messages.h"

namespace stv::sim {

enum class EncodingMode {
  kRaw,
  kRawZlib,
  kPaletteZlib,  // falls back to raw-zlib for tiles of more than 256 colours
  kWebp,         // lossy WebP
  kWebpLossless,
  kJpeg,
  kPng,
  kMix,         // palette for few colours, WebP or JPEG for photo-like tiles, raw-zlib otherwise
  kContainers,  // BMP, icon, GIF (TIFF for tiles of more than 256 colours), JPEG XR and TIFF, tile by tile
};

std::optional<EncodingMode> ParseEncodingMode(std::string_view name);
std::string_view EncodingModeName(EncodingMode mode);
// Every name ParseEncodingMode accepts, in a fixed order.
std::span<const std::string_view> EncodingModeNames();

// The colours of a tile and each pixel's index into them; absent when it has more than
// 256 colours. Colours appear in the order first seen.
struct PaletteImage {
  std::vector<uint32_t> colours;  // pixels as little-endian words: B | G << 8 | R << 16 | X << 24
  std::vector<uint8_t> indexes;
};
std::optional<PaletteImage> BuildPalette(std::span<const uint8_t> pixels);

// The decompressed form of a palette tile: little-endian count, the entries, the indexes.
std::vector<uint8_t> SerializePalette(const PaletteImage& palette);

// Rough look of a tile, for the mix: how many colours (capped at 257) and how often a pixel
// repeats its left neighbour.
struct TileLook {
  int colours = 0;
  double repeatShare = 0.0;
};
TileLook LookAtTile(std::span<const uint8_t> pixels, int w, int h);

// Encodes tiles and tells what the viewer will paint for each.
class TileEncoder {
 public:
  explicit TileEncoder(EncodingMode mode) : mode_(mode) {}

  // Fills tile.encoding and tile.payload from w * h * 4 bytes of `pixels`. `column` and `row`
  // (the tile's grid position) spread the mix's photo tiles over both lossy formats. When the
  // encoding is lossy, `decoded` receives the pixels the viewer will paint and the result is
  // true; for lossless encodings it is left alone and the result is false.
  bool Encode(std::span<const uint8_t> pixels, int w, int h, int quality, int column, int row, EncodedTile& tile,
              std::vector<uint8_t>& decoded);

  EncodingMode mode() const { return mode_; }

 private:
  void EncodeRawZlib(std::span<const uint8_t> pixels, EncodedTile& tile);
  bool EncodePalette(std::span<const uint8_t> pixels, EncodedTile& tile);
  void EncodeContainer(std::span<const uint8_t> pixels, int w, int h, int column, int row, EncodedTile& tile);
  bool EncodeLossy(bool webp, std::span<const uint8_t> pixels, int w, int h, int quality, EncodedTile& tile,
                   std::vector<uint8_t>& decoded);

  EncodingMode mode_;
  JpegCodec jpeg_;
};

}  // namespace stv::sim
