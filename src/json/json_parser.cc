// Strict recursive-descent parser for control-message JSON.

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "json/json.h"
#include "json/utf8.h"

namespace stv {
namespace {

// Containers may nest this deep below the top-level value; a deeper value is refused
// so that a hostile message cannot exhaust the reader thread's stack.
constexpr int kMaxDepth = 64;

// The parser's cursor. Every read checks `position` against `length` first: the text is
// not terminated and may contain NUL bytes.
struct JsonReader {
  const uint8_t* text = nullptr;
  size_t length = 0;
  size_t position = 0;

  bool AtEnd() const { return position >= length; }
  uint8_t Peek() const { return text[position]; }
  size_t Remaining() const { return length - position; }
};

bool ParseValue(JsonReader& reader, int depth, JsonValue& out);

bool IsWhitespace(uint8_t byte) { return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r'; }

void SkipWhitespace(JsonReader& reader) {
  while (!reader.AtEnd() && IsWhitespace(reader.Peek())) ++reader.position;
}

bool IsNumberByte(uint8_t byte) {
  return (byte >= '0' && byte <= '9') || byte == '.' || byte == 'e' || byte == 'E' || byte == '+' || byte == '-';
}

// Converts the bytes the scanner took for a number with strtod's rules but without its
// locale dependence: std::from_chars always uses '.'. strtod's extras that from_chars
// lacks are handled here (one leading '+'); the run never holds letters other than e/E,
// so infinities, NaN and hex forms cannot appear.
//
// Range errors fail. Overflow to infinity fails, and so does underflow: any nonzero
// number whose correctly rounded value is below DBL_MIN (subnormal or zero). That is
// glibc's ERANGE rule except for two slivers nobody writes by hand: an exactly
// representable subnormal (it takes over 700 significant digits) and a value within
// half an ulp below DBL_MIN that rounds up to DBL_MIN are treated the other way round.
// A zero of any spelling ("0e-999") is fine.
bool ConvertNumber(std::string_view digits, double& value) {
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
    // strtod takes a single sign only.
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) return false;
  }
  const char* end = digits.data() + digits.size();
  double converted = 0.0;
  const std::from_chars_result result = std::from_chars(digits.data(), end, converted, std::chars_format::general);
  if (result.ec != std::errc() || result.ptr != end) return false;
  if (converted != 0.0 && std::fabs(converted) < DBL_MIN) return false;
  value = converted;
  return true;
}

bool ParseNumber(JsonReader& reader, JsonValue& out) {
  const size_t start = reader.position;
  if (reader.Peek() == '-' || reader.Peek() == '+') ++reader.position;
  while (!reader.AtEnd() && IsNumberByte(reader.Peek())) ++reader.position;
  if (reader.position == start) return false;
  const std::string_view digits(reinterpret_cast<const char*>(reader.text) + start, reader.position - start);
  double value = 0.0;
  if (!ConvertNumber(digits, value)) return false;
  out.type = JsonType::Number;
  out.number = value;
  return true;
}

int HexDigitValue(uint8_t byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

// Reads four hex digits at the position into `unit` and moves past them.
bool ReadHex4(JsonReader& reader, uint32_t& unit) {
  if (reader.Remaining() < 4) return false;
  uint32_t result = 0;
  for (size_t i = 0; i < 4; ++i) {
    const int digit = HexDigitValue(reader.text[reader.position + i]);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  reader.position += 4;
  unit = result;
  return true;
}

// Called with the position just after "\u". A high surrogate takes a directly following
// low-surrogate escape with it; if there is none, the cursor stays after the first
// escape and whatever follows is read as ordinary string content.
bool ParseUnicodeEscape(JsonReader& reader, std::string& out) {
  uint32_t unit = 0;
  if (!ReadHex4(reader, unit)) return false;
  uint32_t code_point = unit;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    const size_t after_first = reader.position;
    uint32_t low = 0;
    if (reader.Remaining() >= 2 && reader.Peek() == '\\' && reader.text[reader.position + 1] == 'u') {
      reader.position += 2;
      if (ReadHex4(reader, low) && low >= 0xDC00 && low <= 0xDFFF) {
        code_point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      } else {
        reader.position = after_first;
      }
    }
  }
  AppendUtf8(out, code_point);  // an unpaired surrogate as three bytes, like any other value
  return true;
}

bool ParseEscape(JsonReader& reader, std::string& out) {
  if (reader.AtEnd()) return false;
  const uint8_t letter = reader.Peek();
  ++reader.position;
  switch (letter) {
    case '"': out.push_back('"'); return true;
    case '/': out.push_back('/'); return true;
    case '\\': out.push_back('\\'); return true;
    case 'b': out.push_back('\b'); return true;
    case 'f': out.push_back('\f'); return true;
    case 'n': out.push_back('\n'); return true;
    case 'r': out.push_back('\r'); return true;
    case 't': out.push_back('\t'); return true;
    case 'u': return ParseUnicodeEscape(reader, out);
    default: return false;
  }
}

// Any byte but '"' and '\\' is string content as it stands, control bytes and invalid
// UTF-8 included.
bool ParseString(JsonReader& reader, std::string& out) {
  out.clear();
  if (reader.AtEnd() || reader.Peek() != '"') return false;
  ++reader.position;
  while (!reader.AtEnd()) {
    // Copy the run of plain bytes in one go.
    size_t run_end = reader.position;
    while (run_end < reader.length && reader.text[run_end] != '"' && reader.text[run_end] != '\\') {
      ++run_end;
    }
    out.append(reinterpret_cast<const char*>(reader.text) + reader.position, run_end - reader.position);
    reader.position = run_end;
    if (reader.AtEnd()) return false;
    const uint8_t byte = reader.Peek();
    ++reader.position;
    if (byte == '"') return true;
    if (!ParseEscape(reader, out)) return false;
  }
  return false;
}

// A literal matches as a prefix; what follows is for the enclosing context to judge.
bool MatchLiteral(JsonReader& reader, std::string_view literal) {
  if (reader.Remaining() < literal.size()) return false;
  if (std::memcmp(reader.text + reader.position, literal.data(), literal.size()) != 0) {
    return false;
  }
  reader.position += literal.size();
  return true;
}

bool ParseArray(JsonReader& reader, int depth, JsonValue& out) {
  ++reader.position;  // '['
  out.type = JsonType::Array;
  SkipWhitespace(reader);
  if (!reader.AtEnd() && reader.Peek() == ']') {
    ++reader.position;
    return true;
  }
  while (true) {
    JsonValue element;
    if (!ParseValue(reader, depth + 1, element)) return false;
    out.array.push_back(std::move(element));
    SkipWhitespace(reader);
    if (reader.AtEnd()) return false;
    const uint8_t byte = reader.Peek();
    ++reader.position;
    if (byte == ']') return true;
    if (byte != ',') return false;
  }
}

bool ParseObject(JsonReader& reader, int depth, JsonValue& out) {
  ++reader.position;  // '{'
  out.type = JsonType::Object;
  SkipWhitespace(reader);
  if (!reader.AtEnd() && reader.Peek() == '}') {
    ++reader.position;
    return true;
  }
  std::string key;
  while (true) {
    SkipWhitespace(reader);
    if (!ParseString(reader, key)) return false;
    SkipWhitespace(reader);
    if (reader.AtEnd() || reader.Peek() != ':') return false;
    ++reader.position;
    JsonValue member;
    if (!ParseValue(reader, depth + 1, member)) return false;
    // The last occurrence of a duplicated key wins.
    out.object.insert_or_assign(std::move(key), std::move(member));
    SkipWhitespace(reader);
    if (reader.AtEnd()) return false;
    const uint8_t byte = reader.Peek();
    ++reader.position;
    if (byte == '}') return true;
    if (byte != ',') return false;
  }
}

bool ParseValue(JsonReader& reader, int depth, JsonValue& out) {
  if (depth > kMaxDepth) return false;
  SkipWhitespace(reader);
  if (reader.AtEnd()) return false;
  switch (reader.Peek()) {
    case '"':
      if (!ParseString(reader, out.string)) return false;
      out.type = JsonType::String;
      return true;
    case '[': return ParseArray(reader, depth, out);
    case '{': return ParseObject(reader, depth, out);
    case 't':
      if (!MatchLiteral(reader, "true")) return false;
      out.type = JsonType::Bool;
      out.boolean = true;
      return true;
    case 'f':
      if (!MatchLiteral(reader, "false")) return false;
      out.type = JsonType::Bool;
      out.boolean = false;
      return true;
    case 'n':
      if (!MatchLiteral(reader, "null")) return false;
      out.type = JsonType::Null;
      return true;
    default: return ParseNumber(reader, out);
  }
}

}  // namespace

std::optional<JsonValue> ParseJson(std::span<const uint8_t> text) {
  JsonReader reader{text.data(), text.size(), 0};
  JsonValue value;
  if (!ParseValue(reader, 0, value)) return std::nullopt;
  SkipWhitespace(reader);
  if (!reader.AtEnd()) return std::nullopt;
  return value;
}

std::optional<JsonValue> ParseJson(std::string_view text) {
  return ParseJson(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace stv
