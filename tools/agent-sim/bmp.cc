#include "bmp.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace stv::sim {
namespace {

void PutLe32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutLe16(std::vector<uint8_t>& out, size_t offset, uint16_t value) {
  out[offset] = static_cast<uint8_t>(value);
  out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

std::vector<uint8_t> EncodeBmp(const Image& image) {
  constexpr size_t kHeaderSize = 54;
  const uint32_t imageSize = static_cast<uint32_t>(image.pixels.size());
  std::vector<uint8_t> out(kHeaderSize + image.pixels.size(), 0);
  out[0] = 'B';
  out[1] = 'M';
  PutLe32(out, 2, static_cast<uint32_t>(kHeaderSize) + imageSize);
  PutLe32(out, 10, kHeaderSize);
  PutLe32(out, 14, 40);
  PutLe32(out, 18, static_cast<uint32_t>(image.width));
  PutLe32(out, 22, static_cast<uint32_t>(-image.height));  // negative: rows run from the top
  PutLe16(out, 26, 1);
  PutLe16(out, 28, 32);
  PutLe32(out, 34, imageSize);
  if (!image.pixels.empty()) std::memcpy(out.data() + kHeaderSize, image.pixels.data(), image.pixels.size());
  return out;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) error = "cannot write " + path;
  return written && closed;
}

}  // namespace stv::sim
