// A plain picture of B, G, R, X pixels, rows from the top, no padding: the layout the
// viewer's framebuffer and every tile use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stv::sim {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // width * height * 4 bytes

  Image() = default;
  Image(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h * 4, 0) {}

  size_t Offset(int x, int y) const { return (static_cast<size_t>(y) * width + x) * 4; }
  uint8_t* At(int x, int y) { return pixels.data() + Offset(x, y); }
  const uint8_t* At(int x, int y) const { return pixels.data() + Offset(x, y); }

  friend bool operator==(const Image&, const Image&) = default;
};

// A rectangle inside an image.
struct Rect {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;
};

// Copies `rect` of `source` into a tight w * h * 4 buffer.
void CopyRect(const Image& source, const Rect& rect, std::vector<uint8_t>& out);

// Writes a tight w * h * 4 buffer into `rect` of `target`.
void PasteRect(Image& target, const Rect& rect, std::span<const uint8_t> pixels);

// True when `rect` holds the same bytes in both images (which must be the same size).
bool RectEqual(const Image& a, const Image& b, const Rect& rect);

}  // namespace stv::sim
