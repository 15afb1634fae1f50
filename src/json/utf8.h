// UTF-8 for JSON strings and for typed text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace stv {

inline constexpr uint32_t kReplacementCharacter = 0xFFFD;

// Appends `code_point` (at most U+10FFFF) in its shortest form. Surrogate values are
// encoded like any other value below U+10000; callers that must not send them check first.
void AppendUtf8(std::string& out, uint32_t code_point);

// Decodes the sequence that starts with a byte >= 0x80 at `bytes[index]`. Returns its
// length and sets `code_point`, or returns 0 for a stray continuation byte, a lead byte
// >= 0xF8, a sequence cut short, an over-long form or a value above U+10FFFF. Surrogate
// values in three-byte form are accepted as they stand.
size_t DecodeUtf8(std::string_view bytes, size_t index, uint32_t& code_point);

}  // namespace stv
