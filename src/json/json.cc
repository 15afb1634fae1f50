// The JSON value and the typed readers the control-message decoder uses.

#include "json/json.h"

namespace stv {

const JsonValue* JsonValue::Find(std::string_view key) const {
  if (type != JsonType::Object) return nullptr;
  // The map has the plain comparator, so look up with a std::string; control-message
  // keys fit the small-string buffer and the copy does not allocate.
  const auto it = object.find(std::string(key));
  return it == object.end() ? nullptr : &it->second;
}

int64_t GetJsonInt(const JsonValue& object, std::string_view key) {
  const JsonValue* member = object.Find(key);
  if (member == nullptr || member->type != JsonType::Number) return 0;
  const double value = member->number;
  // Both bounds are powers of two and exact as doubles. Outside them the result is the
  // integer-indefinite value that x86's truncating conversion produces.
  if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) {
    return INT64_MIN;
  }
  return static_cast<int64_t>(value);
}

bool GetJsonBool(const JsonValue& object, std::string_view key) {
  const JsonValue* member = object.Find(key);
  if (member == nullptr) return false;
  if (member->type == JsonType::Bool) return member->boolean;
  if (member->type == JsonType::Number) return member->number != 0.0;
  return false;
}

std::optional<std::string> GetJsonString(const JsonValue& object, std::string_view key) {
  const JsonValue* member = object.Find(key);
  if (member == nullptr || member->type != JsonType::String) return std::nullopt;
  return member->string;
}

}  // namespace stv
