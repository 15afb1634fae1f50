#include "tile_encoder.h"

#include <array>
#include <cstring>

namespace stv::sim {
namespace {

constexpr std::array<std::string_view, 9> kModeNames = {
    "raw", "raw-zlib", "palette-zlib", "webp", "webp-lossless", "jpeg", "png", "mix", "containers"};
constexpr int kPaletteZlibLevel = 6;
// Screens change every frame; the fast level keeps a live agent real-time.
constexpr int kRawZlibLevel = 1;

uint32_t LoadPixel(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

std::optional<EncodingMode> ParseEncodingMode(std::string_view name) {
  for (size_t i = 0; i < kModeNames.size(); ++i) {
    if (kModeNames[i] == name) return static_cast<EncodingMode>(i);
  }
  return std::nullopt;
}

std::string_view EncodingModeName(EncodingMode mode) { return kModeNames[static_cast<size_t>(mode)]; }

std::span<const std::string_view> EncodingModeNames() { return kModeNames; }

std::optional<PaletteImage> BuildPalette(std::span<const uint8_t> pixels) {
  // Open addressing over 512 slots: at most 256 colours are ever stored, so it never fills.
  constexpr size_t kSlots = 512;
  std::array<uint32_t, kSlots> keys{};
  std::array<int16_t, kSlots> slots;
  slots.fill(-1);
  PaletteImage palette;
  const size_t count = pixels.size() / 4;
  palette.indexes.resize(count);
  uint32_t last = 0;
  int lastIndex = -1;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t colour = LoadPixel(&pixels[i * 4]);
    if (lastIndex < 0 || colour != last) {
      size_t slot = (colour * 2654435761u) >> 23;  // top 9 bits
      while (slots[slot] >= 0 && keys[slot] != colour) slot = (slot + 1) % kSlots;
      if (slots[slot] < 0) {
        if (palette.colours.size() == 256) return std::nullopt;
        keys[slot] = colour;
        slots[slot] = static_cast<int16_t>(palette.colours.size());
        palette.colours.push_back(colour);
      }
      last = colour;
      lastIndex = slots[slot];
    }
    palette.indexes[i] = static_cast<uint8_t>(lastIndex);
  }
  return palette;
}

std::vector<uint8_t> SerializePalette(const PaletteImage& palette) {
  const size_t count = palette.colours.size();
  std::vector<uint8_t> out;
  out.reserve(2 + count * 4 + palette.indexes.size());
  out.push_back(static_cast<uint8_t>(count));
  out.push_back(static_cast<uint8_t>(count >> 8));
  for (uint32_t colour : palette.colours) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(colour >> shift));
  }
  out.insert(out.end(), palette.indexes.begin(), palette.indexes.end());
  return out;
}

TileLook LookAtTile(std::span<const uint8_t> pixels, int w, int h) {
  TileLook look;
  const std::optional<PaletteImage> palette = BuildPalette(pixels);
  look.colours = palette ? static_cast<int>(palette->colours.size()) : 257;
  if (w < 2) return look;
  size_t repeats = 0;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = pixels.data() + static_cast<size_t>(y) * w * 4;
    for (int x = 1; x < w; ++x) repeats += std::memcmp(row + x * 4, row + (x - 1) * 4, 4) == 0;
  }
  look.repeatShare = static_cast<double>(repeats) / (static_cast<double>(w - 1) * h);
  return look;
}

void TileEncoder::EncodeRawZlib(std::span<const uint8_t> pixels, EncodedTile& tile) {
  tile.payload = CompressZlib(pixels, kRawZlibLevel);
  tile.encoding = TileEncoding::RawZlib;
  if (tile.payload.empty()) {
    tile.payload.assign(pixels.begin(), pixels.end());
    tile.encoding = TileEncoding::Raw;
  }
}

bool TileEncoder::EncodePalette(std::span<const uint8_t> pixels, EncodedTile& tile) {
  const std::optional<PaletteImage> palette = BuildPalette(pixels);
  if (!palette) return false;
  tile.payload = CompressZlib(SerializePalette(*palette), kPaletteZlibLevel);
  tile.encoding = TileEncoding::PaletteZlib;
  return !tile.payload.empty();
}

void TileEncoder::EncodeContainer(std::span<const uint8_t> pixels, int w, int h, int column, int row,
                                  EncodedTile& tile) {
  tile.encoding = TileEncoding::CodecImageAlt;
  switch ((column + row) % 5) {
    case 0: tile.payload = EncodeBmp(pixels, w, h); break;
    case 1: tile.payload = EncodeIco(pixels, w, h); break;
    case 3: tile.payload = EncodeJxr(pixels, w, h); break;
    case 2:
      if (const auto palette = BuildPalette(pixels)) {
        tile.payload = EncodeGif(palette->colours, palette->indexes, w, h);
        break;
      }
      [[fallthrough]];
    default: tile.payload = EncodeTiff(pixels, w, h); break;
  }
  if (tile.payload.empty()) EncodeRawZlib(pixels, tile);
}

bool TileEncoder::EncodeLossy(bool webp, std::span<const uint8_t> pixels, int w, int h, int quality, EncodedTile& tile,
                              std::vector<uint8_t>& decoded) {
  if (webp) {
    tile.payload = EncodeWebpLossy(pixels, w, h, quality);
    tile.encoding = TileEncoding::CodecImage;
    return !tile.payload.empty() && DecodeWebp(tile.payload, w, h, decoded);
  }
  tile.payload = jpeg_.Encode(pixels, w, h, quality);
  tile.encoding = TileEncoding::CodecImageAlt;
  return !tile.payload.empty() && jpeg_.Decode(tile.payload, w, h, decoded);
}

bool TileEncoder::Encode(std::span<const uint8_t> pixels, int w, int h, int quality, int column, int row,
                         EncodedTile& tile, std::vector<uint8_t>& decoded) {
  tile.w = static_cast<uint16_t>(w);
  tile.h = static_cast<uint16_t>(h);
  switch (mode_) {
    case EncodingMode::kRaw:
      tile.payload.assign(pixels.begin(), pixels.end());
      tile.encoding = TileEncoding::Raw;
      return false;
    case EncodingMode::kRawZlib: EncodeRawZlib(pixels, tile); return false;
    case EncodingMode::kPaletteZlib:
      if (!EncodePalette(pixels, tile)) EncodeRawZlib(pixels, tile);
      return false;
    case EncodingMode::kWebp:
    case EncodingMode::kJpeg:
      if (EncodeLossy(mode_ == EncodingMode::kWebp, pixels, w, h, quality, tile, decoded)) return true;
      EncodeRawZlib(pixels, tile);
      return false;
    case EncodingMode::kWebpLossless:
      tile.payload = EncodeWebpLossless(pixels, w, h);
      tile.encoding = TileEncoding::CodecImage;
      if (tile.payload.empty()) EncodeRawZlib(pixels, tile);
      return false;
    case EncodingMode::kPng:
      tile.payload = EncodePng(pixels, w, h);
      tile.encoding = TileEncoding::CodecImageAlt;
      if (tile.payload.empty()) EncodeRawZlib(pixels, tile);
      return false;
    case EncodingMode::kContainers: EncodeContainer(pixels, w, h, column, row, tile); return false;
    case EncodingMode::kMix: break;
  }
  const TileLook look = LookAtTile(pixels, w, h);
  if (look.colours <= 256 && EncodePalette(pixels, tile)) return false;
  // Photo-like: many colours that rarely repeat. Image codecs need a few pixels to work on.
  if (look.repeatShare < 0.25 && w >= 8 && h >= 8) {
    const bool webp = (column + row) % 2 == 0;
    if (EncodeLossy(webp, pixels, w, h, quality, tile, decoded)) return true;
  }
  EncodeRawZlib(pixels, tile);
  return false;
}

}  // namespace stv::sim
