// Big-endian numbers, the byte order of most formats here: frames, video messages, the device
// binding and the token, JPEG segment lengths, zlib's checksum. Little-endian ones for the
// rest: the palette tile's count, BMP and icon files.
#pragma once

#include <cstdint>
#include <vector>

namespace stv {

inline uint16_t ReadU16Be(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

inline uint32_t ReadU32Be(const uint8_t* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]};
}

inline uint16_t ReadU16Le(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

inline uint32_t ReadU32Le(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

inline void WriteU32Be(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

inline void AppendU16Be(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

inline void AppendU32Be(std::vector<uint8_t>& out, uint32_t value) {
  out.resize(out.size() + 4);
  WriteU32Be(out.data() + out.size() - 4, value);
}

inline void AppendU16Le(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void AppendU32Le(std::vector<uint8_t>& out, uint32_t value) {
  AppendU16Le(out, value);
  AppendU16Le(out, value >> 16);
}

}  // namespace stv
