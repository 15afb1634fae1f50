// Decodes arbitrary bytes as a control message; whatever decodes must survive
// encode -> decode with every number, flag and clean string intact, and encoding must be
// stable from then on (other strings are normalised once: broken UTF-8 becomes U+FFFD).

#include <cstdint>
#include <cstdlib>
#include <string>

#include "../json/clean_utf8.h"
#include "protocol/control_message.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::optional<stv::ControlMessage> Decode(const std::string& text) {
  return stv::DecodeControlMessage(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

using stv::ControlMessage;
using StringField = std::optional<std::string> ControlMessage::*;
constexpr StringField kStringFields[] = {&ControlMessage::s,      &ControlMessage::mime,  &ControlMessage::data,
                                         &ControlMessage::preset, &ControlMessage::shape, &ControlMessage::reqId,
                                         &ControlMessage::url,    &ControlMessage::name,  &ControlMessage::error,
                                         &ControlMessage::path,   &ControlMessage::pub,   &ControlMessage::user,
                                         &ControlMessage::fp,     &ControlMessage::cmd,   &ControlMessage::hostKey};

// Equal in every field, except that a string which is not clean UTF-8 need only keep
// its presence: its bytes are normalised by the first encoding.
bool SameAfterRoundTrip(const stv::ControlMessage& before, const stv::ControlMessage& after) {
  stv::ControlMessage x = before;
  stv::ControlMessage y = after;
  for (StringField field : kStringFields) {
    if ((x.*field).has_value() != (y.*field).has_value()) return false;
    if ((x.*field) && !stv::fuzz::IsCleanUtf8(*(x.*field))) {
      x.*field = std::nullopt;
      y.*field = std::nullopt;
    }
  }
  return x == y;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<stv::ControlMessage> decoded = stv::DecodeControlMessage(std::span<const uint8_t>(data, size));
  if (!decoded) return 0;
  const std::string encoded = stv::EncodeControlMessage(*decoded);
  for (unsigned char c : encoded) Check(c < 0x80);
  const std::optional<stv::ControlMessage> again = Decode(encoded);
  Check(again.has_value());
  Check(SameAfterRoundTrip(*decoded, *again));
  Check(stv::EncodeControlMessage(*again) == encoded);
  return 0;
}
