#include "protocol/control_message.h"

#include "json/json.h"

namespace stv {
namespace {

// A default message encodes to 410 bytes and typical numbers add a few dozen; strings
// add at least their own length. Reserving that up front keeps a Pointer or Key message
// to a single allocation.
constexpr size_t kEncodedSkeletonBytes = 512;

size_t StringBytes(const ControlMessage& m) {
  size_t total = 0;
  for (const std::optional<std::string>* field :
       {&m.s, &m.mime, &m.data, &m.preset, &m.shape, &m.reqId, &m.url, &m.name, &m.error, &m.path, &m.pub, &m.user,
        &m.fp, &m.cmd, &m.hostKey}) {
    if (*field) total += (*field)->size();
  }
  return total;
}

// The low 32 bits of the truncated number: 2^32 + 1 gives 1, and a magnitude of 2^63 or
// more (which GetJsonInt maps to INT64_MIN) gives 0.
int32_t GetJsonInt32(const JsonValue& object, std::string_view key) {
  return static_cast<int32_t>(static_cast<uint32_t>(GetJsonInt(object, key)));
}

// Present for any member but a missing or null one, so a string member yields 0.
std::optional<int32_t> GetJsonOptInt32(const JsonValue& object, std::string_view key) {
  const JsonValue* member = object.Find(key);
  if (member == nullptr || member->type == JsonType::Null) return std::nullopt;
  return GetJsonInt32(object, key);
}

// GetJsonString's rule, but moving the bytes out of a tree that is about to be dropped:
// a clipboard message can carry megabytes.
std::optional<std::string> TakeJsonString(JsonValue& object, std::string_view key) {
  const auto it = object.object.find(std::string(key));
  if (it == object.object.end() || it->second.type != JsonType::String) return std::nullopt;
  return std::move(it->second.string);
}

}  // namespace

ControlMessage MakeControlMessage(ControlKind kind) {
  ControlMessage message;
  message.t = static_cast<int32_t>(kind);
  return message;
}

std::string EncodeControlMessage(const ControlMessage& m) {
  std::string out;
  out.reserve(kEncodedSkeletonBytes + StringBytes(m));
  bool first = true;
  out.push_back('{');
  AppendJsonInt(out, first, "t", m.t);
  AppendJsonOptString(out, first, "s", m.s);
  AppendJsonInt(out, first, "vk", m.vk);
  AppendJsonBool(out, first, "down", m.down);
  AppendJsonInt(out, first, "x", m.x);
  AppendJsonInt(out, first, "y", m.y);
  AppendJsonOptInt(out, first, "btn", m.btn);
  AppendJsonInt(out, first, "wheel", m.wheel);
  AppendJsonInt(out, first, "hwheel", m.hwheel);
  AppendJsonOptString(out, first, "mime", m.mime);
  AppendJsonOptString(out, first, "data", m.data);
  AppendJsonInt(out, first, "kbps", m.kbps);
  AppendJsonInt(out, first, "fps", m.fps);
  AppendJsonInt(out, first, "lossPermille", m.lossPermille);
  AppendJsonInt(out, first, "rttMs", m.rttMs);
  AppendJsonOptString(out, first, "preset", m.preset);
  AppendJsonBool(out, first, "gray", m.gray);
  AppendJsonInt(out, first, "vw", m.vw);
  AppendJsonInt(out, first, "vh", m.vh);
  AppendJsonInt(out, first, "index", m.index);
  AppendJsonInt(out, first, "count", m.count);
  AppendJsonBool(out, first, "show", m.show);
  AppendJsonOptString(out, first, "shape", m.shape);
  AppendJsonOptString(out, first, "reqId", m.reqId);
  AppendJsonOptString(out, first, "url", m.url);
  AppendJsonOptString(out, first, "name", m.name);
  AppendJsonBool(out, first, "run", m.run);
  AppendJsonBool(out, first, "ok", m.ok);
  AppendJsonOptString(out, first, "error", m.error);
  AppendJsonOptString(out, first, "path", m.path);
  AppendJsonBool(out, first, "on", m.on);
  AppendJsonOptString(out, first, "pub", m.pub);
  AppendJsonInt(out, first, "port", m.port);
  AppendJsonOptString(out, first, "user", m.user);
  AppendJsonOptString(out, first, "fp", m.fp);
  AppendJsonInt(out, first, "expires", m.expires);
  AppendJsonOptString(out, first, "cmd", m.cmd);
  AppendJsonOptString(out, first, "hostKey", m.hostKey);
  out.push_back('}');
  return out;
}

std::optional<ControlMessage> DecodeControlMessage(std::span<const uint8_t> bytes) {
  std::optional<JsonValue> parsed = ParseJson(bytes);
  if (!parsed || parsed->type != JsonType::Object) return std::nullopt;
  JsonValue& o = *parsed;
  ControlMessage m;
  m.t = GetJsonInt32(o, "t");
  m.s = TakeJsonString(o, "s");
  m.vk = GetJsonInt32(o, "vk");
  m.down = GetJsonBool(o, "down");
  m.x = GetJsonInt32(o, "x");
  m.y = GetJsonInt32(o, "y");
  m.btn = GetJsonOptInt32(o, "btn");
  m.wheel = GetJsonInt32(o, "wheel");
  m.hwheel = GetJsonInt32(o, "hwheel");
  m.mime = TakeJsonString(o, "mime");
  m.data = TakeJsonString(o, "data");
  m.kbps = GetJsonInt32(o, "kbps");
  m.fps = GetJsonInt32(o, "fps");
  m.lossPermille = GetJsonInt32(o, "lossPermille");
  m.rttMs = GetJsonInt32(o, "rttMs");
  m.preset = TakeJsonString(o, "preset");
  m.gray = GetJsonBool(o, "gray");
  m.vw = GetJsonInt32(o, "vw");
  m.vh = GetJsonInt32(o, "vh");
  m.index = GetJsonInt32(o, "index");
  m.count = GetJsonInt32(o, "count");
  m.show = GetJsonBool(o, "show");
  m.shape = TakeJsonString(o, "shape");
  m.reqId = TakeJsonString(o, "reqId");
  m.url = TakeJsonString(o, "url");
  m.name = TakeJsonString(o, "name");
  m.run = GetJsonBool(o, "run");
  m.ok = GetJsonBool(o, "ok");
  m.error = TakeJsonString(o, "error");
  m.path = TakeJsonString(o, "path");
  m.on = GetJsonBool(o, "on");
  m.pub = TakeJsonString(o, "pub");
  m.port = GetJsonInt32(o, "port");
  m.user = TakeJsonString(o, "user");
  m.fp = TakeJsonString(o, "fp");
  m.expires = GetJsonInt(o, "expires");
  m.cmd = TakeJsonString(o, "cmd");
  m.hostKey = TakeJsonString(o, "hostKey");
  return m;
}

}  // namespace stv
