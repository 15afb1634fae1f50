// JSON for control messages: an in-memory value, a strict parser and append-only writer
// primitives. Outgoing messages are written straight into a string with the Append*
// functions; incoming ones are parsed into a JsonValue tree and read with the Get*
// functions. Nothing here throws, prints or depends on the process locale.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace stv {

enum class JsonType : int32_t {
  Null = 0,
  Bool = 1,
  Number = 2,
  String = 3,
  Array = 4,
  Object = 5,
};

// One JSON value. Only the member named by `type` is meaningful; the others stay empty.
// The object map sorts keys byte-wise, shorter first on a common prefix, and holds each
// key once.
struct JsonValue {
  JsonType type = JsonType::Null;
  bool boolean = false;
  double number = 0.0;
  std::string string;  // bytes after unescaping; may hold NULs, not checked as UTF-8
  std::vector<JsonValue> array;
  std::map<std::string, JsonValue> object;

  // The member with exactly this key, or nullptr when this is not an object or lacks it.
  const JsonValue* Find(std::string_view key) const;
};

// Parses exactly one value, optionally surrounded by space, tab, CR and LF. Absent on
// any syntax error, nesting deeper than 64, trailing bytes, or a number out of range:
// one that overflows, or a nonzero one that would come out subnormal or zero. Deliberately lenient where the control
// channel has always been: numbers follow strtod ("+5", ".5", "5.", "007" are fine) and raw control bytes inside
// strings are kept as they are.
std::optional<JsonValue> ParseJson(std::span<const uint8_t> text);
std::optional<JsonValue> ParseJson(std::string_view text);

// A Number member truncated toward zero; INT64_MIN when it lies outside the signed
// 64-bit range; 0 when the member is missing or not a number.
int64_t GetJsonInt(const JsonValue& object, std::string_view key);
// A Bool member's value, or true for a Number member other than (+/-)0; else false.
bool GetJsonBool(const JsonValue& object, std::string_view key);
// Present only for a String member.
std::optional<std::string> GetJsonString(const JsonValue& object, std::string_view key);

// The escaped contents of a JSON string (no surrounding quotes). The result is pure
// ASCII: control bytes, '"', '\\', the HTML-sensitive & ' + < > ` and everything above
// 0x7F become escapes with upper-case hex; each byte of broken UTF-8 becomes U+FFFD.
std::string EscapeJsonString(std::string_view bytes);
// Same, appended to `out`.
void AppendEscapedJsonString(std::string& out, std::string_view bytes);

// Object writer: the caller appends '{', keeps `first` = true until the first member is
// written, and appends '}' at the end. Keys are fixed ASCII names and are not escaped.
// No whitespace is ever written.
void AppendJsonKey(std::string& out, bool& first, std::string_view key);
void AppendJsonInt(std::string& out, bool& first, std::string_view key, int64_t value);
void AppendJsonBool(std::string& out, bool& first, std::string_view key, bool value);
void AppendJsonOptString(std::string& out, bool& first, std::string_view key, const std::optional<std::string>& value);
void AppendJsonOptInt(std::string& out, bool& first, std::string_view key, std::optional<int32_t> value);

}  // namespace stv
