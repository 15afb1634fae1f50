// Control messages: every non-picture message between supporter and agent is one flat
// JSON object with the same 38 keys, whatever its kind.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/quality_preset.h"

namespace stv {

// The kinds this side sends or reads. Other values of `t` decode like any other message
// and are left to the consumer to ignore.
enum class ControlKind : int32_t {
  Text = 0,             // supporter -> agent: `s`, one UTF-16 unit of typed text as UTF-8
  Key = 1,              // supporter -> agent: `vk`, `down`
  Pointer = 2,          // supporter -> agent: `x`, `y`, `btn`, `down`, `wheel`, `hwheel`
  Clipboard = 3,        // agent -> supporter: `data`
  QualityReport = 4,    // supporter -> agent: `kbps` ... `vh`
  Monitors = 9,         // agent -> supporter: `count`, `index`
  CursorInStream = 10,  // supporter -> agent: `show`
  SecureAttention = 11,
  FullRepaint = 16,
};

// One record for every kind; each field is written under the key of its own name, in
// this order. A sender starts from the default and sets only its kind's fields, so the
// rest go out as null, 0 or false. Fields this side never sets or reads still travel
// through unchanged for the agent's sake.
struct ControlMessage {
  int32_t t = 0;  // the kind, a ControlKind value
  std::optional<std::string> s;
  int32_t vk = 0;              // Windows virtual-key code
  bool down = false;           // key or button pressed
  int32_t x = 0;               // 0..65535 across the picture
  int32_t y = 0;               // 0..65535 down the picture
  std::optional<int32_t> btn;  // 0 left, 1 right, 2 middle; absent for moves and wheels
  int32_t wheel = 0;
  int32_t hwheel = 0;
  std::optional<std::string> mime;
  std::optional<std::string> data;  // clipboard content
  int32_t kbps = 0;
  int32_t fps = 0;
  int32_t lossPermille = 0;
  int32_t rttMs = 0;
  std::optional<std::string> preset;  // "High", "Balanced" or "DataSaver"
  bool gray = false;
  int32_t vw = 0;  // viewport in pixels
  int32_t vh = 0;
  int32_t index = 0;  // monitor being shown
  int32_t count = 0;  // number of monitors
  bool show = false;  // client cursor drawn into the stream
  std::optional<std::string> shape;
  std::optional<std::string> reqId;
  std::optional<std::string> url;
  std::optional<std::string> name;
  bool run = false;
  bool ok = false;
  std::optional<std::string> error;
  std::optional<std::string> path;
  bool on = false;
  std::optional<std::string> pub;
  int32_t port = 0;
  std::optional<std::string> user;
  std::optional<std::string> fp;
  int64_t expires = 0;
  std::optional<std::string> cmd;
  std::optional<std::string> hostKey;

  friend bool operator==(const ControlMessage&, const ControlMessage&) = default;
};

// A default record of the given kind.
ControlMessage MakeControlMessage(ControlKind kind);

// The whole message as one JSON object: all 38 keys in field order, no whitespace,
// pure ASCII.
std::string EncodeControlMessage(const ControlMessage& message);

// Absent unless the bytes are exactly one JSON object. Members are read leniently: a
// missing or ill-typed member leaves its field at the default, numbers are truncated
// toward zero and keep their low 32 bits, unknown keys are ignored.
std::optional<ControlMessage> DecodeControlMessage(std::span<const uint8_t> bytes);

}  // namespace stv
