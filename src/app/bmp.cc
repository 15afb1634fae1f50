#include "app/bmp.h"

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

std::optional<std::vector<uint8_t>> EncodeBmp(int32_t width, int32_t height, std::span<const uint8_t> pixels) {
  if (width <= 0 || height <= 0) return std::nullopt;
  const uint64_t size = uint64_t(width) * uint64_t(height) * 4;
  // A picture whose file would not fit the header's 32-bit sizes cannot be described; refuse it
  // rather than write a file that no reader can open.
  if (size + kBmpHeaderSize > std::numeric_limits<uint32_t>::max() || pixels.size() < size) return std::nullopt;

  std::vector<uint8_t> file(kBmpHeaderSize + size);
  uint8_t* h = file.data();
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
  std::copy(pixels.begin(), pixels.begin() + static_cast<ptrdiff_t>(size), file.begin() + kBmpHeaderSize);
  return file;
}

bool WriteFile(const std::string& path, std::span<const uint8_t> bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  return true;
}

}  // namespace stv
