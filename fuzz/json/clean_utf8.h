// Fuzz-check helper: well-formed UTF-8 without surrogate code points. The escaper's
// output for exactly these strings parses back byte for byte; anything else is
// normalised once (U+FFFD for broken bytes, surrogate escapes paired up on reading).
#pragma once

#include <cstdint>
#include <string_view>

namespace stv::fuzz {

inline bool IsCleanUtf8(std::string_view bytes) {
  constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  size_t i = 0;
  while (i < bytes.size()) {
    const uint8_t lead = static_cast<uint8_t>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
    } else {
      return false;
    }
    if (bytes.size() - i < length) return false;
    uint32_t value = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      const uint8_t next = static_cast<uint8_t>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    if (value < kMinimum[length] || value > 0x10FFFF) return false;
    if (value >= 0xD800 && value <= 0xDFFF) return false;
    i += length;
  }
  return true;
}

}  // namespace stv::fuzz
