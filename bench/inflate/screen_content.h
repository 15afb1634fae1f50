// Deterministic screen-like pictures (B, G, R, X pixels) of the kinds tiles carry: text,
// flat user interface, photographs; and palette tile payloads before compression.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace stv::bench {

enum class Content { Text, Ui, Photo, Noise };

inline uint32_t RandomColour(std::mt19937& rng) { return uint32_t(rng()) | 0xFF000000u; }

inline void PutPixel(std::vector<uint8_t>& pixels, size_t index, uint32_t colour) {
  for (int i = 0; i < 4; ++i) pixels[index * 4 + size_t(i)] = uint8_t(colour >> (8 * i));
}

// Dark glyphs drawn from a small set on a light background, as in a document or terminal.
inline std::vector<uint8_t> TextPixels(int w, int h, std::mt19937& rng) {
  std::vector<uint8_t> pixels(size_t(w) * size_t(h) * 4);
  const uint32_t background = 0xFFF8F8F8u;
  const uint32_t ink[3] = {0xFF101010u, 0xFF2050A0u, 0xFF808080u};  // text, link, antialias
  std::vector<uint64_t> glyphs(40);
  for (uint64_t& glyph : glyphs) glyph = uint64_t(rng()) << 32 | rng();
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) PutPixel(pixels, size_t(y) * size_t(w) + size_t(x), background);
  }
  for (int row = 0; row + 12 <= h; row += 14) {
    const uint32_t colour = ink[rng() % 2];
    for (int col = 0; col + 7 <= w; col += 7) {
      if (rng() % 6 == 0) continue;  // a space
      const uint64_t glyph = glyphs[rng() % glyphs.size()];
      for (int gy = 0; gy < 12; ++gy) {
        for (int gx = 0; gx < 6; ++gx) {
          const int bit = (gy * 6 + gx) % 64;
          if (((glyph >> bit) & 3) == 3) {
            PutPixel(pixels, size_t(row + gy) * size_t(w) + size_t(col + gx), colour);
          } else if (((glyph >> bit) & 3) == 2 && gy % 3 == 0) {
            PutPixel(pixels, size_t(row + gy) * size_t(w) + size_t(col + gx), ink[2]);
          }
        }
      }
    }
  }
  return pixels;
}

// Flat panels, borders, buttons and a gradient title bar.
inline std::vector<uint8_t> UiPixels(int w, int h, std::mt19937& rng) {
  std::vector<uint8_t> pixels(size_t(w) * size_t(h) * 4);
  const uint32_t desktop = RandomColour(rng);
  for (size_t i = 0; i < size_t(w) * size_t(h); ++i) PutPixel(pixels, i, desktop);
  for (int panel = 0; panel < 12; ++panel) {
    const int x0 = int(rng() % uint32_t(w)), y0 = int(rng() % uint32_t(h));
    const int x1 = std::min(w, x0 + 8 + int(rng() % uint32_t(w)));
    const int y1 = std::min(h, y0 + 8 + int(rng() % uint32_t(h)));
    const uint32_t fill = RandomColour(rng), border = RandomColour(rng);
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        const bool edge = y == y0 || y == y1 - 1 || x == x0 || x == x1 - 1;
        uint32_t colour = edge ? border : fill;
        if (y < y0 + 6 && !edge) colour = 0xFF000000u | uint32_t(0x30 + (x - x0) % 160) << 8;
        PutPixel(pixels, size_t(y) * size_t(w) + size_t(x), colour);
      }
    }
  }
  return pixels;
}

// Smooth shading with sensor noise: what compresses worst on a real screen.
inline std::vector<uint8_t> PhotoPixels(int w, int h, std::mt19937& rng) {
  std::vector<uint8_t> pixels(size_t(w) * size_t(h) * 4);
  const int fx = 1 + int(rng() % 5), fy = 1 + int(rng() % 5);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const size_t i = (size_t(y) * size_t(w) + size_t(x)) * 4;
      const int base = (x * fx + y * fy) % 200;
      pixels[i + 0] = uint8_t(base + int(rng() % 24));
      pixels[i + 1] = uint8_t((base * 3 / 4) + int(rng() % 24));
      pixels[i + 2] = uint8_t((255 - base) / 2 + int(rng() % 24));
      pixels[i + 3] = 0xFF;
    }
  }
  return pixels;
}

inline std::vector<uint8_t> ScreenPixels(Content kind, int w, int h, std::mt19937& rng) {
  switch (kind) {
    case Content::Text: return TextPixels(w, h, rng);
    case Content::Ui: return UiPixels(w, h, rng);
    case Content::Photo: return PhotoPixels(w, h, rng);
    case Content::Noise: break;
  }
  std::vector<uint8_t> bytes(size_t(w) * size_t(h) * 4);
  for (uint8_t& byte : bytes) byte = uint8_t(rng());
  return bytes;
}

// A palette tile before compression: count (little-endian), entries, one index per pixel,
// laid out in runs as text and flat panels produce them.
inline std::vector<uint8_t> PaletteTilePayload(int w, int h, int entries, std::mt19937& rng) {
  std::vector<uint8_t> payload = {uint8_t(entries & 0xFF), uint8_t(entries >> 8)};
  for (int i = 0; i < entries; ++i) {
    const uint32_t colour = RandomColour(rng);
    for (int b = 0; b < 4; ++b) payload.push_back(uint8_t(colour >> (8 * b)));
  }
  uint8_t index = 0;
  for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
    if (rng() % 8 == 0) index = uint8_t(rng() % uint32_t(entries));
    payload.push_back(index);
  }
  return payload;
}

}  // namespace stv::bench
