// Parses arbitrary bytes. On success every number must be a finite normal double (or
// zero), and every string and key must escape to pure ASCII that parses back to a
// string; when the bytes were clean UTF-8 without surrogates, to the same bytes.

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "clean_utf8.h"
#include "json/json.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckString(const std::string& bytes) {
  const std::string escaped = stv::EscapeJsonString(bytes);
  for (unsigned char c : escaped) Check(c < 0x80);
  for (char c : std::string_view("&'+<>`")) Check(escaped.find(c) == std::string::npos);
  const std::optional<stv::JsonValue> again = stv::ParseJson("\"" + escaped + "\"");
  Check(again && again->type == stv::JsonType::String);
  if (stv::fuzz::IsCleanUtf8(bytes)) Check(again->string == bytes);
}

void CheckValue(const stv::JsonValue& value) {
  switch (value.type) {
    case stv::JsonType::Number:
      Check(std::isfinite(value.number));
      Check(value.number == 0.0 || std::fabs(value.number) >= DBL_MIN);
      break;
    case stv::JsonType::String: CheckString(value.string); break;
    case stv::JsonType::Array:
      for (const stv::JsonValue& element : value.array) CheckValue(element);
      break;
    case stv::JsonType::Object:
      for (const auto& [key, member] : value.object) {
        CheckString(key);
        CheckValue(member);
      }
      break;
    default: break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<stv::JsonValue> value = stv::ParseJson(std::span<const uint8_t>(data, size));
  if (value) CheckValue(*value);
  // The raw input itself, treated as string content, must escape cleanly too.
  CheckString(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
