// Big-endian numbers, the byte order of every format here: frames, video messages, the
// device binding and the token, JPEG segment lengths, zlib's checksum.
#pragma once

#include <cstdint>
#include <vector>

namespace stv {

inline uint16_t ReadU16Be(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

inline uint32_t ReadU32Be(const uint8_t* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]};
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

}  // namespace stv
