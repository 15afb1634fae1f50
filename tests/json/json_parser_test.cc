#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json.h"

namespace stv {
namespace {

bool Accepts(std::string_view text) { return ParseJson(text).has_value(); }

std::string Nested(int levels, std::string_view innermost) {
  return std::string(levels, '[') + std::string(innermost) + std::string(levels, ']');
}

// The string a text holding one JSON string parses to; "<rejected>" if it does not.
std::string StringOf(std::string_view text) {
  const std::optional<JsonValue> value = ParseJson(text);
  if (!value || value->type != JsonType::String) return "<rejected>";
  return value->string;
}

// A value as compact text, members in map order, to compare whole trees at once.
std::string Dump(const JsonValue& value) {
  std::ostringstream out;
  switch (value.type) {
    case JsonType::Null: return "null";
    case JsonType::Bool: return value.boolean ? "true" : "false";
    case JsonType::Number: out << value.number; return out.str();
    case JsonType::String: return '"' + value.string + '"';
    case JsonType::Array:
      for (const JsonValue& item : value.array) out << (out.tellp() ? "," : "[") << Dump(item);
      return out.tellp() ? out.str() + "]" : "[]";
    case JsonType::Object:
      for (const auto& [key, item] : value.object) out << (out.tellp() ? ",\"" : "{\"") << key << "\":" << Dump(item);
      return out.tellp() ? out.str() + "}" : "{}";
  }
  return "?";
}

// Structure is the JSONTestSuite corpus's (json_test_suite_test); here is what it leaves out.
TEST(JsonParserTest, StructureBeyondTheCorpus) {
  for (std::string_view text : {" \t\r\n{} \t\r\n", "[ ]", "{ }", "[true  ]"}) EXPECT_TRUE(Accepts(text)) << text;
  // Only JSON's four whitespace bytes, and literals match whole words only.
  for (std::string_view text : {"\v{}", "{}\f", "{} x", "truex", "[truex]", "nulll", "[t]"}) {
    EXPECT_FALSE(Accepts(text)) << '"' << text << '"';
  }
  // A NUL byte is content like any other: rejected outside strings, kept inside.
  EXPECT_FALSE(Accepts(std::string_view("{}\0", 3)));
  EXPECT_EQ(StringOf(std::string_view("\"a\0b\"", 5)), std::string("a\0b", 3));
}

// Every value type, nested; keys come out in unsigned byte order (a UTF-8 key after every
// ASCII one), and of duplicates the last wins, whatever its type.
TEST(JsonParserTest, ValuesAndObjects) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"( {"b":[true,false,null,"x",-2.5,{},[]],"a":{"k":"v"},"":0} )",
       R"({"":0,"a":{"k":"v"},"b":[true,false,null,"x",-2.5,{},[]]})"},
      {"{\"\xC3\xA9\":1,\"z\":2,\"zz\":3}", "{\"z\":2,\"zz\":3,\"\xC3\xA9\":1}"},
      {R"({"k":1,"k":2})", R"({"k":2})"},
      {R"({"k":[1],"k":"s"})", R"({"k":"s"})"}};
  for (const auto& [text, tree] : cases) {
    const std::optional<JsonValue> value = ParseJson(text);
    ASSERT_TRUE(value) << text;
    EXPECT_EQ(Dump(*value), tree);
  }
  const JsonValue value = *ParseJson(cases[0].first);
  EXPECT_EQ(value.Find("a")->Find("k")->string, "v");
  EXPECT_EQ(value.Find("missing"), nullptr);
  EXPECT_EQ(value.Find("b")->Find("b"), nullptr) << "Find on a non-object";
}

TEST(JsonParserTest, Strings) {
  const std::string rejected = "<rejected>";
  const std::pair<std::string_view, std::string> cases[] = {
      {R"("")", ""},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
      {R"("\u007F\u0080\u07FF\u0800\uFFFF")", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},  // each length's ends
      {R"("\u0000")", std::string(1, '\0')},
      {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
      {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
      // Raw control bytes and bytes that are not UTF-8 are kept as they stand.
      {"\"a\nb\tc\x01\"", "a\nb\tc\x01"},
      {"\"\xFF\xC3\"", "\xFF\xC3"},
      // An unpaired surrogate is written as its own three bytes and whatever follows is
      // ordinary content, even another surrogate; only a high-low pair combines.
      {R"("\uD800x")", "\xED\xA0\x80x"},
      {R"("\uD800")", "\xED\xA0\x80"},
      {R"("\uDC00")", "\xED\xB0\x80"},
      {R"("\uD800\n")", "\xED\xA0\x80\n"},
      {R"("\uD800\uD800")", "\xED\xA0\x80\xED\xA0\x80"},
      {R"("\uD800\u0041")",
       "\xED\xA0\x80"
       "A"},
      {R"("\uDC00\uD83D\uDE00")", "\xED\xB0\x80\xF0\x9F\x98\x80"},
      // Bad escapes are the corpus's; here, a non-hex digit just past 'F', and a bad escape
      // right after a high surrogate.
      {R"("\u00G0")", rejected},
      {R"("\uD800\q")", rejected}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(StringOf(text), expected) << text;
}

TEST(JsonParserTest, DepthLimit) {
  EXPECT_TRUE(Accepts(Nested(65, "")));
  EXPECT_FALSE(Accepts(Nested(66, "")));
  EXPECT_FALSE(Accepts(Nested(65, "1")));
  EXPECT_TRUE(Accepts(Nested(64, "1")));
  EXPECT_FALSE(Accepts(Nested(65, "{}")));

  // Objects count the same way as arrays.
  std::string objects;
  for (int i = 0; i < 64; ++i) objects += "{\"k\":";
  EXPECT_TRUE(Accepts(objects + "{}" + std::string(64, '}')));
  EXPECT_TRUE(Accepts(objects + "1" + std::string(64, '}')));
  EXPECT_FALSE(Accepts(objects + "{\"k\":1}" + std::string(64, '}')));
}

TEST(JsonReadersTest, GetJsonInt) {
  const JsonValue object =
      *ParseJson(R"({"a":2.9,"b":-2.9,"c":"5","d":true,"e":null,"f":1e19,"g":-1e19,)"
                 R"("h":9223372036854775807,"i":-9223372036854775808,"j":9223372036854774784,"k":[1]})");
  // Truncated towards zero; anything but a number, or a missing key, is 0; out of range is
  // INT64_MIN, including 2^63 - 1, which rounds to 2^63 as a double; the largest double below
  // 2^63 still converts.
  const std::pair<const char*, int64_t> cases[] = {{"a", 2},         {"b", -2},        {"c", 0},
                                                   {"d", 0},         {"e", 0},         {"k", 0},
                                                   {"missing", 0},   {"f", INT64_MIN}, {"g", INT64_MIN},
                                                   {"h", INT64_MIN}, {"i", INT64_MIN}, {"j", 9223372036854774784}};
  for (const auto& [key, expected] : cases) EXPECT_EQ(GetJsonInt(object, key), expected) << key;
  EXPECT_EQ(GetJsonInt(*ParseJson("[1]"), "a"), 0) << "not an object";
}

TEST(JsonReadersTest, GetJsonBoolAndString) {
  const JsonValue object = *ParseJson(R"({"zero":0.0,"negzero":-0.0,"half":0.5,"neg":-3,"t":true,"f":false,)"
                                      R"("word":"true","null":null,"arr":[1],"s":"text","empty":""})");
  for (const char* key : {"half", "neg", "t"}) EXPECT_TRUE(GetJsonBool(object, key)) << key;
  for (const char* key : {"zero", "negzero", "f", "word", "null", "arr", "missing"}) {
    EXPECT_FALSE(GetJsonBool(object, key)) << key;
  }
  EXPECT_EQ(GetJsonString(object, "s"), "text");
  EXPECT_EQ(GetJsonString(object, "empty"), "");
  for (const char* key : {"null", "half", "t", "arr", "missing"}) {
    EXPECT_EQ(GetJsonString(object, key), std::nullopt) << key;
  }
}

}  // namespace
}  // namespace stv
