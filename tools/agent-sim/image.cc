#include "image.h"

#include <cstring>

namespace stv::sim {

void CopyRect(const Image& source, const Rect& rect, std::vector<uint8_t>& out) {
  const size_t rowBytes = static_cast<size_t>(rect.w) * 4;
  out.resize(rowBytes * rect.h);
  for (int row = 0; row < rect.h; ++row) {
    std::memcpy(out.data() + row * rowBytes, source.At(rect.x, rect.y + row), rowBytes);
  }
}

void PasteRect(Image& target, const Rect& rect, std::span<const uint8_t> pixels) {
  const size_t rowBytes = static_cast<size_t>(rect.w) * 4;
  for (int row = 0; row < rect.h; ++row) {
    std::memcpy(target.At(rect.x, rect.y + row), pixels.data() + row * rowBytes, rowBytes);
  }
}

bool RectEqual(const Image& a, const Image& b, const Rect& rect) {
  const size_t rowBytes = static_cast<size_t>(rect.w) * 4;
  for (int row = 0; row < rect.h; ++row) {
    if (std::memcmp(a.At(rect.x, rect.y + row), b.At(rect.x, rect.y + row), rowBytes) != 0) return false;
  }
  return true;
}

}  // namespace stv::sim
