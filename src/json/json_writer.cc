// Append-only JSON writing: string escaping and the object member primitives.

#include <array>
#include <charconv>
#include <cstring>

#include "json/json.h"
#include "json/utf8.h"

namespace stv {
namespace {

// True for the ASCII bytes that are written as they stand. Everything else is escaped:
// control bytes, '"', '\\', and the six characters that could matter to an HTML or
// script context downstream (& ' + < > `).
constexpr std::array<bool, 128> MakePlainTable() {
  std::array<bool, 128> plain{};
  for (int byte = 0x20; byte < 0x80; ++byte) plain[byte] = true;
  for (char special : {'"', '\\', '&', '\'', '+', '<', '>', '`'}) {
    plain[static_cast<unsigned char>(special)] = false;
  }
  return plain;
}
constexpr std::array<bool, 128> kPlain = MakePlainTable();

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendUnicodeEscape(std::string& out, uint32_t unit) {
  const char escape[6] = {'\\',
                          'u',
                          kHexDigits[(unit >> 12) & 0xF],
                          kHexDigits[(unit >> 8) & 0xF],
                          kHexDigits[(unit >> 4) & 0xF],
                          kHexDigits[unit & 0xF]};
  out.append(escape, sizeof(escape));
}

void AppendAsciiEscape(std::string& out, uint8_t byte) {
  switch (byte) {
    case '\b': out.append("\\b", 2); return;
    case '\t': out.append("\\t", 2); return;
    case '\n': out.append("\\n", 2); return;
    case '\f': out.append("\\f", 2); return;
    case '\r': out.append("\\r", 2); return;
    case '"': out.append("\\\"", 2); return;
    case '\\': out.append("\\\\", 2); return;
    default: AppendUnicodeEscape(out, byte); return;
  }
}

// The decimal form of `value` in `buffer`, which must hold 20 bytes.
std::string_view FormatDecimal(int64_t value, char (&buffer)[20]) {
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return {buffer, static_cast<size_t>(result.ptr - buffer)};
}

// Appends the separator, the quoted key, the colon and a short value text, growing the
// output once per member rather than once per piece: the encoder runs on every mouse
// move, and the small appends' calls were most of its cost.
void AppendMember(std::string& out, bool& first, std::string_view key, std::string_view value) {
  const size_t separator = first ? 0 : 1;
  first = false;
  const size_t start = out.size();
  out.resize(start + separator + key.size() + 3 + value.size());
  char* cursor = out.data() + start;
  if (separator != 0) *cursor++ = ',';
  *cursor++ = '"';
  std::memcpy(cursor, key.data(), key.size());
  cursor += key.size();
  *cursor++ = '"';
  *cursor++ = ':';
  if (!value.empty()) std::memcpy(cursor, value.data(), value.size());
}

}  // namespace

void AppendEscapedJsonString(std::string& out, std::string_view bytes) {
  size_t index = 0;
  while (index < bytes.size()) {
    // Copy the run of plain ASCII in one go.
    size_t run_end = index;
    while (run_end < bytes.size()) {
      const uint8_t byte = static_cast<uint8_t>(bytes[run_end]);
      if (byte >= 0x80 || !kPlain[byte]) break;
      ++run_end;
    }
    out.append(bytes.data() + index, run_end - index);
    index = run_end;
    if (index == bytes.size()) break;

    const uint8_t byte = static_cast<uint8_t>(bytes[index]);
    if (byte < 0x80) {
      AppendAsciiEscape(out, byte);
      ++index;
      continue;
    }
    uint32_t code_point = 0;
    const size_t length = DecodeUtf8(bytes, index, code_point);
    if (length == 0) {
      // One replacement per byte: the next byte is tried afresh as a sequence start.
      AppendUnicodeEscape(out, kReplacementCharacter);
      ++index;
    } else if (code_point < 0x10000) {
      AppendUnicodeEscape(out, code_point);
      index += length;
    } else {
      const uint32_t offset = code_point - 0x10000;
      AppendUnicodeEscape(out, 0xD800 + (offset >> 10));
      AppendUnicodeEscape(out, 0xDC00 + (offset & 0x3FF));
      index += length;
    }
  }
}

std::string EscapeJsonString(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 2);
  AppendEscapedJsonString(out, bytes);
  return out;
}

void AppendJsonKey(std::string& out, bool& first, std::string_view key) { AppendMember(out, first, key, {}); }

void AppendJsonInt(std::string& out, bool& first, std::string_view key, int64_t value) {
  char digits[20];
  AppendMember(out, first, key, FormatDecimal(value, digits));
}

void AppendJsonBool(std::string& out, bool& first, std::string_view key, bool value) {
  AppendMember(out, first, key, value ? "true" : "false");
}

void AppendJsonOptString(std::string& out, bool& first, std::string_view key, const std::optional<std::string>& value) {
  if (!value) {
    AppendMember(out, first, key, "null");
    return;
  }
  AppendMember(out, first, key, "\"");
  AppendEscapedJsonString(out, *value);
  out.push_back('"');
}

void AppendJsonOptInt(std::string& out, bool& first, std::string_view key, std::optional<int32_t> value) {
  char digits[20];
  AppendMember(out, first, key, value ? FormatDecimal(*value, digits) : "null");
}

}  // namespace stv
