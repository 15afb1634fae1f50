#include <string>

#include <gtest/gtest.h>

#include "json/json.h"

namespace stv {
namespace {

std::string Escape(std::string_view bytes) { return EscapeJsonString(bytes); }

TEST(EscapeJsonStringTest, Ascii) {
  EXPECT_EQ(Escape(""), "");
  EXPECT_EQ(Escape("abc"), "abc");
  EXPECT_EQ(Escape("a<b"), "a\\u003Cb");
  EXPECT_EQ(Escape("/~ \x7F"), "/~ \x7F");
  EXPECT_EQ(Escape("\"\\"), "\\\"\\\\");
  EXPECT_EQ(Escape("\b\t\n\f\r"), "\\b\\t\\n\\f\\r");
  EXPECT_EQ(Escape("\x01\x1F\x0B"), "\\u0001\\u001F\\u000B");
  EXPECT_EQ(Escape(std::string_view("\0", 1)), "\\u0000");
  EXPECT_EQ(Escape("&'+<>`"), "\\u0026\\u0027\\u002B\\u003C\\u003E\\u0060");
  // Everything else printable stays, so plain text costs nothing.
  std::string printable;
  for (char c = 0x20; c < 0x7F; ++c) {
    if (std::string_view("\"\\&'+<>`").find(c) == std::string_view::npos) printable += c;
  }
  EXPECT_EQ(Escape(printable), printable);
}

TEST(EscapeJsonStringTest, ValidUtf8) {
  EXPECT_EQ(Escape("\xC3\xA9"), "\\u00E9");
  EXPECT_EQ(Escape("\xC2\x80"), "\\u0080");
  EXPECT_EQ(Escape("\xDF\xBF"), "\\u07FF");
  EXPECT_EQ(Escape("\xE0\xA0\x80"), "\\u0800");
  EXPECT_EQ(Escape("\xE2\x82\xAC"), "\\u20AC");
  EXPECT_EQ(Escape("\xEF\xBF\xBF"), "\\uFFFF");
  // Surrogates in three-byte form pass as they stand.
  EXPECT_EQ(Escape("\xED\xA0\x80"), "\\uD800");
  EXPECT_EQ(Escape("\xF0\x9F\x98\x80"), "\\uD83D\\uDE00");
  EXPECT_EQ(Escape("\xF0\x90\x80\x80"), "\\uD800\\uDC00");
  EXPECT_EQ(Escape("\xF4\x8F\xBF\xBF"), "\\uDBFF\\uDFFF");
  EXPECT_EQ(Escape("a\xC3\xA9z"), "a\\u00E9z");
}

TEST(EscapeJsonStringTest, BrokenUtf8GivesOneReplacementPerByte) {
  const std::string r = "\\uFFFD";
  EXPECT_EQ(Escape("\xFF"), r);
  EXPECT_EQ(Escape("\xC3"), r) << "cut short by the end";
  EXPECT_EQ(Escape("\xC3z"), r + "z") << "cut short by a non-continuation byte";
  EXPECT_EQ(Escape("\x80\xBF"), r + r) << "stray continuation bytes";
  EXPECT_EQ(Escape("\xC0\x80"), r + r) << "over-long NUL";
  EXPECT_EQ(Escape("\xC1\xBF"), r + r) << "over-long two-byte";
  EXPECT_EQ(Escape("\xE0\x9F\xBF"), r + r + r) << "over-long three-byte";
  EXPECT_EQ(Escape("\xF0\x8F\xBF\xBF"), r + r + r + r) << "over-long four-byte";
  EXPECT_EQ(Escape("\xF4\x90\x80\x80"), r + r + r + r) << "above U+10FFFF";
  EXPECT_EQ(Escape("\xF8\x88\x80\x80\x80"), r + r + r + r + r) << "five-byte form";
  EXPECT_EQ(Escape("\xE2\x82"), r + r) << "three-byte sequence cut short";
  // A good sequence right after a broken lead is still recognised.
  EXPECT_EQ(Escape("\xE2\xC3\xA9"), r + "\\u00E9");
  EXPECT_EQ(Escape("\xF0\x9F\x98"), r + r + r);
}

TEST(EscapeJsonStringTest, OutputIsAsciiAndParsesBack) {
  std::string all_bytes;
  for (int byte = 0; byte < 256; ++byte) all_bytes += static_cast<char>(byte);
  const std::string escaped = Escape(all_bytes);
  for (unsigned char c : escaped) ASSERT_LT(c, 0x80);
  for (char c : std::string_view("&'+<>`")) {
    EXPECT_EQ(escaped.find(c), std::string::npos) << c;
  }
  const std::optional<JsonValue> parsed = ParseJson("\"" + escaped + "\"");
  ASSERT_TRUE(parsed);
  // The ASCII half comes back unchanged; every high byte alone is broken UTF-8.
  EXPECT_EQ(parsed->string.substr(0, 128), all_bytes.substr(0, 128));
  std::string replacements;
  for (int i = 0; i < 128; ++i) replacements += "\xEF\xBF\xBD";
  EXPECT_EQ(parsed->string.substr(128), replacements);

  const std::string text = "K\xC3\xB6ln \xE2\x82\xAC \xF0\x9F\x98\x80 <a href='x'>&amp;</a>";
  EXPECT_EQ(ParseJson("\"" + Escape(text) + "\"")->string, text);
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

  // Keys too long for the writer's stack buffer take the slower path to the same text.
  const std::string long_key(70, 'k');
  std::string long_member;
  bool long_first = false;
  AppendJsonInt(long_member, long_first, long_key, INT64_MIN);
  EXPECT_EQ(long_member, ",\"" + long_key + "\":-9223372036854775808");

  std::string single = "{";
  bool single_first = true;
  AppendJsonBool(single, single_first, "only", true);
  single += '}';
  EXPECT_EQ(single, "{\"only\":true}");
  EXPECT_TRUE(ParseJson(single));
}

}  // namespace
}  // namespace stv
