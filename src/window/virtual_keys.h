// The Windows virtual-key codes the agent expects in `Key` messages. The agent injects
// them as they are, so these values are part of the wire protocol, not a platform detail.
#pragma once

#include <cstdint>

namespace stv::vk {

inline constexpr uint32_t kBack = 8;
inline constexpr uint32_t kTab = 9;
inline constexpr uint32_t kClear = 12;
inline constexpr uint32_t kReturn = 13;
inline constexpr uint32_t kShift = 16;
inline constexpr uint32_t kControl = 17;
inline constexpr uint32_t kMenu = 18;  // Alt
inline constexpr uint32_t kPause = 19;
inline constexpr uint32_t kCapital = 20;  // Caps Lock
inline constexpr uint32_t kEscape = 27;
inline constexpr uint32_t kSpace = 32;
inline constexpr uint32_t kPrior = 33;  // Page Up
inline constexpr uint32_t kNext = 34;   // Page Down
inline constexpr uint32_t kEnd = 35;
inline constexpr uint32_t kHome = 36;
inline constexpr uint32_t kLeft = 37;
inline constexpr uint32_t kUp = 38;
inline constexpr uint32_t kRight = 39;
inline constexpr uint32_t kDown = 40;
inline constexpr uint32_t kSnapshot = 44;  // Print Screen
inline constexpr uint32_t kInsert = 45;
inline constexpr uint32_t kDelete = 46;
inline constexpr uint32_t kDigit0 = 48;   // '0'..'9' are 48..57
inline constexpr uint32_t kLetterA = 65;  // 'A'..'Z' are 65..90
inline constexpr uint32_t kLetterC = 67;
inline constexpr uint32_t kLetterG = 71;
inline constexpr uint32_t kLetterQ = 81;
inline constexpr uint32_t kLetterR = 82;
inline constexpr uint32_t kLeftWindows = 91;
inline constexpr uint32_t kRightWindows = 92;
inline constexpr uint32_t kApps = 93;
inline constexpr uint32_t kNumpad0 = 96;  // 96..105
inline constexpr uint32_t kMultiply = 106;
inline constexpr uint32_t kAdd = 107;
inline constexpr uint32_t kSeparator = 108;
inline constexpr uint32_t kSubtract = 109;
inline constexpr uint32_t kDecimal = 110;
inline constexpr uint32_t kDivide = 111;
inline constexpr uint32_t kF1 = 112;  // F1..F24 are 112..135
inline constexpr uint32_t kF24 = 135;
inline constexpr uint32_t kNumLock = 144;
inline constexpr uint32_t kScroll = 145;
inline constexpr uint32_t kLeftShift = 160;  // 160..165: left/right Shift, Ctrl, Alt
inline constexpr uint32_t kRightMenu = 165;
// Punctuation keys, named by what they carry on a US layout.
inline constexpr uint32_t kOemSemicolon = 186;     // ;:
inline constexpr uint32_t kOemPlus = 187;          // =+
inline constexpr uint32_t kOemComma = 188;         // ,<
inline constexpr uint32_t kOemMinus = 189;         // -_
inline constexpr uint32_t kOemPeriod = 190;        // .>
inline constexpr uint32_t kOemSlash = 191;         // /?
inline constexpr uint32_t kOemBacktick = 192;      // `~
inline constexpr uint32_t kOemOpenBracket = 219;   // [{
inline constexpr uint32_t kOemBackslash = 220;     // \|
inline constexpr uint32_t kOemCloseBracket = 221;  // ]}
inline constexpr uint32_t kOemQuote = 222;         // '"
inline constexpr uint32_t kOem102 = 226;           // the extra key of ISO keyboards

}  // namespace stv::vk
