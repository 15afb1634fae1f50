#include <string>

#include <gtest/gtest.h>

#include "json/json.h"

namespace stv {
namespace {

std::string Escape(std::string_view bytes) { return EscapeJsonString(bytes); }

TEST(EscapeJsonStringTest, EscapesAsciiAndUtf8AndReplacesEachBrokenByte) {
  const std::string r = "\\uFFFD";
  const std::pair<std::string_view, std::string> cases[] = {
      // ASCII: quotes, backslashes and control bytes, and the characters markup cares about.
      {"", ""},
      {"abc", "abc"},
      {"a<b", "a\\u003Cb"},
      {"/~ \x7F", "/~ \x7F"},
      {"\"\\", "\\\"\\\\"},
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      {"\x01\x1F\x0B", "\\u0001\\u001F\\u000B"},
      {std::string_view("\0", 1), "\\u0000"},
      {"&'+<>`", "\\u0026\\u0027\\u002B\\u003C\\u003E\\u0060"},
      // Valid UTF-8 at the ends of each length; surrogates in three-byte form pass as they stand.
      {"\xC3\xA9", "\\u00E9"},
      {"\xC2\x80", "\\u0080"},
      {"\xDF\xBF", "\\u07FF"},
      {"\xE0\xA0\x80", "\\u0800"},
      {"\xE2\x82\xAC", "\\u20AC"},
      {"\xEF\xBF\xBF", "\\uFFFF"},
      {"\xED\xA0\x80", "\\uD800"},
      {"\xF0\x9F\x98\x80!", "\\uD83D\\uDE00!"},
      {"\xF0\x90\x80\x80", "\\uD800\\uDC00"},
      {"\xF4\x8F\xBF\xBF", "\\uDBFF\\uDFFF"},
      {"a\xC3\xA9z", "a\\u00E9z"},
      // Broken UTF-8: cut short by the end or by another byte, stray continuations, over-long
      // forms, beyond U+10FFFF, five-byte forms; a good sequence after a broken lead still counts.
      {"\xFF", r},
      {"\xC3", r},
      {"\xC3z", r + "z"},
      {"\x80\xBF", r + r},
      {"\xC0\x80", r + r},
      {"\xC1\xBF", r + r},
      {"\xE0\x9F\xBF", r + r + r},
      {"\xF0\x8F\xBF\xBF", r + r + r + r},
      {"\xF4\x90\x80\x80", r + r + r + r},
      {"\xF8\x88\x80\x80\x80", r + r + r + r + r},
      {"\xE2\x82", r + r},
      {"\xE2\xC3\xA9", r + "\\u00E9"},
      {"\xF0\x9F\x98", r + r + r},
  };
  for (const auto& [bytes, escaped] : cases) EXPECT_EQ(Escape(bytes), escaped) << ::testing::PrintToString(bytes);
  // Everything else printable stays, so plain text costs nothing.
  std::string printable;
  for (char c = 0x20; c < 0x7F; ++c) {
    if (std::string_view("\"\\&'+<>`").find(c) == std::string_view::npos) printable += c;
  }
  EXPECT_EQ(Escape(printable), printable);
}

TEST(JsonWriterTest, ObjectMembers) {
  std::string out = "{";
  bool first = true;
  AppendJsonInt(out, first, "a", 0);
  AppendJsonInt(out, first, "b", -17);
  AppendJsonInt(out, first, "c", INT64_MIN);
  AppendJsonInt(out, first, "d", INT64_MAX);
  AppendJsonBool(out, first, "e", true);
  AppendJsonBool(out, first, "f", false);
  AppendJsonOptString(out, first, "g", std::nullopt);
  AppendJsonOptString(out, first, "h", std::string("x\"<"));
  AppendJsonOptString(out, first, "i", std::string());
  AppendJsonOptInt(out, first, "j", std::nullopt);
  AppendJsonOptInt(out, first, "k", -2147483647 - 1);
  AppendJsonKey(out, first, "l");
  out += "[]}";
  EXPECT_EQ(out,
            "{\"a\":0,\"b\":-17,\"c\":-9223372036854775808,\"d\":9223372036854775807,"
            "\"e\":true,\"f\":false,\"g\":null,\"h\":\"x\\\"\\u003C\",\"i\":\"\","
            "\"j\":null,\"k\":-2147483648,\"l\":[]}");
  EXPECT_FALSE(first);
  EXPECT_TRUE(ParseJson(out));

  // Keys too long for the writer's stack buffer take the slower path to the same text.
  const std::string long_key(70, 'k');
  std::string long_member;
  bool long_first = false;
  AppendJsonInt(long_member, long_first, long_key, INT64_MIN);
  EXPECT_EQ(long_member, ",\"" + long_key + "\":-9223372036854775808");
}

}  // namespace
}  // namespace stv
