#include "json/utf8.h"

namespace stv {

void AppendUtf8(std::string& out, uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

size_t DecodeUtf8(std::string_view bytes, size_t index, uint32_t& code_point) {
  const uint8_t lead = static_cast<uint8_t>(bytes[index]);
  size_t length = 0;
  uint32_t value = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  // The smallest value each length may carry; anything less is an over-long form.
  constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (bytes.size() - index < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const uint8_t next = static_cast<uint8_t>(bytes[index + i]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < kMinimum[length] || value > 0x10FFFF) return 0;
  code_point = value;
  return length;
}

}  // namespace stv
