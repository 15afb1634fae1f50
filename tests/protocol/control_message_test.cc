#include <string>

#include <gtest/gtest.h>

#include "json/json.h"
#include "protocol/control_message.h"

namespace stv {
namespace {

std::optional<ControlMessage> Decode(std::string_view text) {
  return DecodeControlMessage(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// Every field set to a value distinct from its default and from the other fields.
ControlMessage EveryFieldSet() {
  return {.t = -7,
          .s = "typed\t\xC3\xA9",
          .vk = 65,
          .down = true,
          .x = 65535,
          .y = 12345,
          .btn = 2,
          .wheel = -120,
          .hwheel = 240,
          .mime = "text/plain",
          .data = "clip\nboard<&>",
          .kbps = 2147483647,
          .fps = 30,
          .lossPermille = 5,
          .rttMs = 42,
          .preset = "DataSaver",
          .gray = true,
          .vw = 1920,
          .vh = 1080,
          .index = 1,
          .count = 3,
          .show = true,
          .shape = "arrow",
          .reqId = "r-1",
          .url = "https://example.invalid/?a=1&b=2",
          .name = "n",
          .run = true,
          .ok = true,
          .error = "",
          .path = "C:\\Temp\\x",
          .on = true,
          .pub = "pub",
          .port = -2147483647 - 1,
          .user = "user",
          .fp = "fp",
          .expires = -9007199254740992 /* -2^53, exact as a double */,
          .cmd = "cmd",
          .hostKey = "\xF0\x9F\x98\x80"};
}

// The wire text of a default message and of EveryFieldSet(): every key in its fixed order,
// the nulls, and each field under its own key. Both are compact ASCII.
constexpr char kDefaultText[] =
    "{\"t\":0,\"s\":null,\"vk\":0,\"down\":false,\"x\":0,\"y\":0,\"btn\":null,\"wheel\":0,\"hwheel\":0,\"mime\":null,"
    "\"data\":null,\"kbps\":0,\"fps\":0,\"lossPermille\":0,\"rttMs\":0,\"preset\":null,\"gray\":false,\"vw\":0,"
    "\"vh\":0,\"index\":0,\"count\":0,\"show\":false,\"shape\":null,\"reqId\":null,\"url\":null,\"name\":null,"
    "\"run\":false,\"ok\":false,\"error\":null,\"path\":null,\"on\":false,\"pub\":null,\"port\":0,\"user\":null,"
    "\"fp\":null,\"expires\":0,\"cmd\":null,\"hostKey\":null}";
constexpr char kEveryFieldText[] =
    "{\"t\":-7,\"s\":\"typed\\t\\u00E9\",\"vk\":65,\"down\":true,\"x\":65535,\"y\":12345,\"btn\":2,"
    "\"wheel\":-120,\"hwheel\":240,\"mime\":\"text/plain\",\"data\":\"clip\\nboard\\u003C\\u0026\\u003E\","
    "\"kbps\":2147483647,\"fps\":30,\"lossPermille\":5,\"rttMs\":42,\"preset\":\"DataSaver\",\"gray\":true,"
    "\"vw\":1920,\"vh\":1080,\"index\":1,\"count\":3,\"show\":true,\"shape\":\"arrow\",\"reqId\":\"r-1\","
    "\"url\":\"https://example.invalid/?a=1\\u0026b=2\",\"name\":\"n\",\"run\":true,\"ok\":true,\"error\":\"\","
    "\"path\":\"C:\\\\Temp\\\\x\",\"on\":true,\"pub\":\"pub\",\"port\":-2147483648,\"user\":\"user\",\"fp\":\"fp\","
    "\"expires\":-9007199254740992,\"cmd\":\"cmd\",\"hostKey\":\"\\uD83D\\uDE00\"}";

TEST(ControlMessageTest, EncodesEveryKeyInOrderAndDecodesEachIntoItsField) {
  EXPECT_EQ(EncodeControlMessage(ControlMessage()), kDefaultText);
  EXPECT_EQ(EncodeControlMessage(EveryFieldSet()), kEveryFieldText);
  EXPECT_EQ(Decode(kDefaultText), ControlMessage());
  EXPECT_EQ(Decode(kEveryFieldText), EveryFieldSet());
}

// The kinds' numbers are the agent's; a renumbered kind would still pass every test above.
TEST(ControlMessageTest, KindsKeepTheirWireNumbers) {
  using enum ControlKind;
  const ControlKind kinds[] = {
      Text, Key, Pointer, Clipboard, QualityReport, Monitors, CursorInStream, SecureAttention, FullRepaint};
  const int32_t numbers[] = {0, 1, 2, 3, 4, 9, 10, 11, 16};
  for (size_t i = 0; i < std::size(kinds); ++i) EXPECT_EQ(static_cast<int32_t>(kinds[i]), numbers[i]) << i;
}

TEST(ControlDecodeTest, OnlyAnObjectDecodes) {
  const std::optional<ControlMessage> empty = Decode("{}");
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, ControlMessage());
  EXPECT_TRUE(Decode(" {\"unknown\":[1,{}]} \n"));
  // Syntax errors are the parser's; one stands for them all.
  for (std::string_view text : {"", "[]", "[{}]", "5", "\"{}\"", "null", "true", "{\"t\":1,}"}) {
    EXPECT_FALSE(Decode(text)) << '"' << text << '"';
  }
}

// How JSON numbers, booleans and strings read is the JSON readers' business and tested with
// them; here, what this message adds: 32-bit fields keep the low bits, `expires` keeps 64,
// a string field takes only a string, and `btn` is absent only when missing or null.
TEST(ControlDecodeTest, FieldsKeepTheirOwnWidthAndType) {
  EXPECT_EQ(Decode(R"({"t":-3.9})")->t, -3);
  EXPECT_EQ(Decode(R"({"vk":4294967361})")->vk, 65);
  EXPECT_EQ(Decode(R"({"x":2147483648})")->x, -2147483647 - 1);
  EXPECT_EQ(Decode(R"({"kbps":9.3e18})")->kbps, 0) << "2^63 and beyond";
  EXPECT_EQ(Decode(R"({"expires":1e19})")->expires, INT64_MIN);
  EXPECT_EQ(Decode(R"({"expires":4294967361})")->expires, 4294967361);
  EXPECT_TRUE(Decode(R"({"down":-0.1})")->down);
  EXPECT_FALSE(Decode(R"({"down":"true"})")->down);

  EXPECT_EQ(Decode(R"({"s":5})")->s, std::nullopt);
  EXPECT_EQ(Decode(R"({"s":""})")->s, "");
  EXPECT_EQ(Decode(R"({"data":"a\u0000b"})")->data, std::string("a\0b", 3));

  EXPECT_EQ(Decode(R"({"btn":null})")->btn, std::nullopt);
  EXPECT_EQ(Decode(R"({"btn":"left"})")->btn, 0);
  EXPECT_EQ(Decode(R"({"btn":4294967298})")->btn, 2);
}

}  // namespace
}  // namespace stv
