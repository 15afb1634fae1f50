#include "app/bmp.h"

#include <array>
#include <cstdio>
#include <limits>

namespace stv {
namespace {

void PutLe16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool WriteBmpFile(const std::string& path, int32_t width, int32_t height, std::span<const uint8_t> pixels) {
  if (width <= 0 || height <= 0) return false;
  const uint64_t size = uint64_t(width) * uint64_t(height) * 4;
  // A picture whose file would not fit the header's 32-bit sizes cannot be described; refuse it
  // rather than write a file that no reader can open.
  if (size + kBmpHeaderSize > std::numeric_limits<uint32_t>::max() || pixels.size() < size) return false;

  std::array<uint8_t, kBmpHeaderSize> header{};
  uint8_t* h = header.data();
  h[0] = 'B';
  h[1] = 'M';
  PutLe32(h + 2, static_cast<uint32_t>(kBmpHeaderSize + size));
  PutLe32(h + 10, kBmpHeaderSize);
  PutLe32(h + 14, 40);
  PutLe32(h + 18, static_cast<uint32_t>(width));
  PutLe32(h + 22, static_cast<uint32_t>(-height));  // negative: rows run from the top
  PutLe16(h + 26, 1);
  PutLe16(h + 28, 32);
  PutLe32(h + 34, static_cast<uint32_t>(size));

  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  // Short writes are not reported, as for any other output of the session.
  std::fwrite(header.data(), 1, header.size(), file);
  std::fwrite(pixels.data(), 1, static_cast<size_t>(size), file);
  std::fclose(file);
  return true;
}

}  // namespace stv
