#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json.h"
#include "protocol/control_message.h"

namespace stv {
namespace {

std::optional<ControlMessage> Decode(std::string_view text) {
  return DecodeControlMessage(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// The keys in the order they must appear on the wire.
const std::vector<std::string> kKeys = {
    "t",      "s",      "vk",   "down",  "x",     "y",    "btn",   "wheel",
    "hwheel", "mime",   "data", "kbps",  "fps",   "lossPermille",  "rttMs",
    "preset", "gray",   "vw",   "vh",    "index", "count", "show", "shape",
    "reqId",  "url",    "name", "run",   "ok",    "error", "path", "on",
    "pub",    "port",   "user", "fp",    "expires", "cmd", "hostKey"};

// The keys of a flat object in text order (values here never contain '":').
std::vector<std::string> KeysInTextOrder(const std::string& text) {
  std::vector<std::string> keys;
  size_t position = 0;
  while ((position = text.find("\":", position)) != std::string::npos) {
    const size_t open = text.rfind('"', position - 1);
    keys.push_back(text.substr(open + 1, position - open - 1));
    position += 2;
  }
  return keys;
}

// Every field set to a value distinct from its default and from the other fields.
ControlMessage EveryFieldSet() {
  ControlMessage m;
  m.t = -7;
  m.s = "typed\t\xC3\xA9";
  m.vk = 65;
  m.down = true;
  m.x = 65535;
  m.y = 12345;
  m.btn = 2;
  m.wheel = -120;
  m.hwheel = 240;
  m.mime = "text/plain";
  m.data = "clip\nboard<&>";
  m.kbps = 2147483647;
  m.fps = 30;
  m.lossPermille = 5;
  m.rttMs = 42;
  m.preset = "DataSaver";
  m.gray = true;
  m.vw = 1920;
  m.vh = 1080;
  m.index = 1;
  m.count = 3;
  m.show = true;
  m.shape = "arrow";
  m.reqId = "r-1";
  m.url = "https://example.invalid/?a=1&b=2";
  m.name = "n";
  m.run = true;
  m.ok = true;
  m.error = "";
  m.path = "C:\\Temp\\x";
  m.on = true;
  m.pub = "pub";
  m.port = -2147483647 - 1;
  m.user = "user";
  m.fp = "fp";
  m.expires = -9007199254740992;  // -2^53, exact as a double
  m.cmd = "cmd";
  m.hostKey = "\xF0\x9F\x98\x80";
  return m;
}

TEST(ControlEncodeTest, KeyMessageMatchesTheWireText) {
  ControlMessage key = MakeControlMessage(ControlKind::Key);
  key.vk = 65;
  key.down = true;
  const std::string expected =
      "{\"t\":1,\"s\":null,\"vk\":65,\"down\":true,\"x\":0,\"y\":0,\"btn\":null,"
      "\"wheel\":0,\"hwheel\":0,\"mime\":null,\"data\":null,\"kbps\":0,\"fps\":0,"
      "\"lossPermille\":0,\"rttMs\":0,\"preset\":null,\"gray\":false,\"vw\":0,\"vh\":0,"
      "\"index\":0,\"count\":0,\"show\":false,\"shape\":null,\"reqId\":null,\"url\":null,"
      "\"name\":null,\"run\":false,\"ok\":false,\"error\":null,\"path\":null,\"on\":false,"
      "\"pub\":null,\"port\":0,\"user\":null,\"fp\":null,\"expires\":0,\"cmd\":null,"
      "\"hostKey\":null}";
  EXPECT_EQ(EncodeControlMessage(key), expected);
}

TEST(ControlEncodeTest, AllKeysAlwaysInFixedOrder) {
  for (const ControlMessage& message : {ControlMessage(), EveryFieldSet()}) {
    const std::string text = EncodeControlMessage(message);
    EXPECT_TRUE(text.starts_with("{\"t\":")) << text;
    EXPECT_EQ(KeysInTextOrder(text), kKeys);
    const std::optional<JsonValue> parsed = ParseJson(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->object.size(), 38u);
    EXPECT_EQ(text.find_first_of(" \t\r\n"), std::string::npos) << text;
    for (unsigned char c : text) ASSERT_LT(c, 0x80) << "pure ASCII";
  }
}

TEST(ControlEncodeTest, FieldValuesOnTheWire) {
  ControlMessage text = MakeControlMessage(ControlKind::Text);
  text.s = "<";
  EXPECT_TRUE(EncodeControlMessage(text).starts_with("{\"t\":0,\"s\":\"\\u003C\",\"vk\":0,"));

  ControlMessage pointer = MakeControlMessage(ControlKind::Pointer);
  pointer.x = 100;
  pointer.y = -1;
  pointer.btn = 0;
  pointer.wheel = -120;
  const std::string encoded = EncodeControlMessage(pointer);
  EXPECT_NE(encoded.find(",\"x\":100,\"y\":-1,\"btn\":0,\"wheel\":-120,"), std::string::npos)
      << encoded;

  ControlMessage report = MakeControlMessage(ControlKind::QualityReport);
  report.preset = QualityPresetName(QualityPreset::Balanced);
  report.expires = INT64_MIN;
  const std::string report_text = EncodeControlMessage(report);
  EXPECT_NE(report_text.find(",\"preset\":\"Balanced\",\"gray\":false,"), std::string::npos);
  EXPECT_NE(report_text.find(",\"expires\":-9223372036854775808,"), std::string::npos);
}

TEST(ControlRoundTripTest, EveryField) {
  const ControlMessage original = EveryFieldSet();
  const std::optional<ControlMessage> decoded = Decode(EncodeControlMessage(original));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, original);

  const std::optional<ControlMessage> default_decoded =
      Decode(EncodeControlMessage(ControlMessage()));
  ASSERT_TRUE(default_decoded);
  EXPECT_EQ(*default_decoded, ControlMessage());

  // Every kind this side uses survives with its number.
  for (ControlKind kind :
       {ControlKind::Text, ControlKind::Key, ControlKind::Pointer, ControlKind::Clipboard,
        ControlKind::QualityReport, ControlKind::Monitors, ControlKind::CursorInStream,
        ControlKind::SecureAttention, ControlKind::FullRepaint}) {
    const std::optional<ControlMessage> m =
        Decode(EncodeControlMessage(MakeControlMessage(kind)));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->t, static_cast<int32_t>(kind));
  }
}

// A hand-written message with a different value per key catches a field read from or
// written to the wrong key, which a round trip alone would not.
TEST(ControlDecodeTest, EachKeyFillsItsOwnField) {
  const std::optional<ControlMessage> m = Decode(
      R"({"hostKey":"k38","cmd":"c37","expires":36,"fp":"f35","user":"u34","port":33,)"
      R"("pub":"p32","on":true,"path":"p30","error":"e29","ok":true,"run":true,)"
      R"("name":"n26","url":"u25","reqId":"r24","shape":"s23","show":true,"count":21,)"
      R"("index":20,"vh":19,"vw":18,"gray":true,"preset":"High","rttMs":15,)"
      R"("lossPermille":14,"fps":13,"kbps":12,"data":"d11","mime":"m10","hwheel":9,)"
      R"("wheel":8,"btn":7,"y":6,"x":5,"down":true,"vk":3,"s":"s2","t":1})");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->t, 1);
  EXPECT_EQ(m->s, "s2");
  EXPECT_EQ(m->vk, 3);
  EXPECT_TRUE(m->down);
  EXPECT_EQ(m->x, 5);
  EXPECT_EQ(m->y, 6);
  EXPECT_EQ(m->btn, 7);
  EXPECT_EQ(m->wheel, 8);
  EXPECT_EQ(m->hwheel, 9);
  EXPECT_EQ(m->mime, "m10");
  EXPECT_EQ(m->data, "d11");
  EXPECT_EQ(m->kbps, 12);
  EXPECT_EQ(m->fps, 13);
  EXPECT_EQ(m->lossPermille, 14);
  EXPECT_EQ(m->rttMs, 15);
  EXPECT_EQ(m->preset, "High");
  EXPECT_TRUE(m->gray);
  EXPECT_EQ(m->vw, 18);
  EXPECT_EQ(m->vh, 19);
  EXPECT_EQ(m->index, 20);
  EXPECT_EQ(m->count, 21);
  EXPECT_TRUE(m->show);
  EXPECT_EQ(m->shape, "s23");
  EXPECT_EQ(m->reqId, "r24");
  EXPECT_EQ(m->url, "u25");
  EXPECT_EQ(m->name, "n26");
  EXPECT_TRUE(m->run);
  EXPECT_TRUE(m->ok);
  EXPECT_EQ(m->error, "e29");
  EXPECT_EQ(m->path, "p30");
  EXPECT_TRUE(m->on);
  EXPECT_EQ(m->pub, "p32");
  EXPECT_EQ(m->port, 33);
  EXPECT_EQ(m->user, "u34");
  EXPECT_EQ(m->fp, "f35");
  EXPECT_EQ(m->expires, 36);
  EXPECT_EQ(m->cmd, "c37");
  EXPECT_EQ(m->hostKey, "k38");
}

TEST(ControlDecodeTest, OnlyAnObjectDecodes) {
  const std::optional<ControlMessage> empty = Decode("{}");
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, ControlMessage());
  EXPECT_EQ(empty->t, static_cast<int32_t>(ControlKind::Text));
  EXPECT_TRUE(Decode(" {\"unknown\":[1,{}]} \n"));
  for (std::string_view text : {"", " ", "[]", "[{}]", "5", "\"{}\"", "null", "true",
                                "{} x", "{}{}", "{\"t\":1", "{\"t\":1,}"}) {
    EXPECT_FALSE(Decode(text)) << '"' << text << '"';
  }
  const std::string too_deep =
      "{\"x\":" + std::string(64, '[') + "1" + std::string(64, ']') + "}";
  EXPECT_FALSE(Decode(too_deep));
}

TEST(ControlDecodeTest, IntegerFieldsTruncateAndKeepLow32Bits) {
  EXPECT_EQ(Decode(R"({"t":3.9})")->t, 3);
  EXPECT_EQ(Decode(R"({"t":-0.5})")->t, 0);
  EXPECT_EQ(Decode(R"({"t":-3.9})")->t, -3);
  EXPECT_EQ(Decode(R"({"t":"3"})")->t, 0);
  EXPECT_EQ(Decode(R"({"t":true})")->t, 0);
  EXPECT_EQ(Decode(R"({"t":[3]})")->t, 0);
  EXPECT_EQ(Decode(R"({"vk":4294967361})")->vk, 65);
  EXPECT_EQ(Decode(R"({"x":4294967297})")->x, 1);
  EXPECT_EQ(Decode(R"({"x":2147483648})")->x, -2147483647 - 1);
  EXPECT_EQ(Decode(R"({"y":-1})")->y, -1);
  EXPECT_EQ(Decode(R"({"kbps":9.3e18})")->kbps, 0) << "2^63 and beyond";
  EXPECT_EQ(Decode(R"({"kbps":-1e300})")->kbps, 0);
  EXPECT_EQ(Decode(R"({"t":2,"t":9})")->t, 9) << "the last duplicate wins";

  EXPECT_EQ(Decode(R"({"expires":1e19})")->expires, INT64_MIN);
  EXPECT_EQ(Decode(R"({"expires":-2.5})")->expires, -2);
  EXPECT_EQ(Decode(R"({"expires":4294967361})")->expires, 4294967361);
  EXPECT_EQ(Decode(R"({"expires":"5"})")->expires, 0);
}

TEST(ControlDecodeTest, BooleansStringsAndButton) {
  EXPECT_TRUE(Decode(R"({"down":2})")->down);
  EXPECT_TRUE(Decode(R"({"down":-0.1})")->down);
  EXPECT_FALSE(Decode(R"({"down":0})")->down);
  EXPECT_FALSE(Decode(R"({"down":-0})")->down);
  EXPECT_FALSE(Decode(R"({"down":"true"})")->down);
  EXPECT_FALSE(Decode(R"({"down":null})")->down);
  EXPECT_TRUE(Decode(R"({"show":true,"gray":false})")->show);

  EXPECT_EQ(Decode(R"({"s":5})")->s, std::nullopt);
  EXPECT_EQ(Decode(R"({"s":null})")->s, std::nullopt);
  EXPECT_EQ(Decode(R"({"s":{}})")->s, std::nullopt);
  EXPECT_EQ(Decode(R"({"s":""})")->s, "");
  EXPECT_EQ(Decode(R"({"data":"a\u0000b"})")->data, std::string("a\0b", 3));

  EXPECT_EQ(Decode(R"({"btn":null})")->btn, std::nullopt);
  EXPECT_EQ(Decode(R"({})")->btn, std::nullopt);
  EXPECT_EQ(Decode(R"({"btn":2})")->btn, 2);
  EXPECT_EQ(Decode(R"({"btn":"left"})")->btn, 0);
  EXPECT_EQ(Decode(R"({"btn":true})")->btn, 0);
  EXPECT_EQ(Decode(R"({"btn":4294967298})")->btn, 2);
  EXPECT_EQ(Decode(R"({"btn":1.7})")->btn, 1);
}

}  // namespace
}  // namespace stv
