// The supporter's mouse, keys and typed text as control messages for the client, and the
// five Ctrl+Alt hotkeys that act on the session instead.
//
// The pointer, key and text operations send nothing at all in view-only mode. Hotkeys
// and quality reports are not input and go out regardless.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "window/window_host.h"
#include "window/window_state.h"

namespace stv {

// --- Pointer ---

enum class MouseButton : int32_t { Left = 0, Right = 1, Middle = 2 };

// Wheel deltas as the client's platform counts them: 120 per notch, positive for the
// wheel turned away from the user and for a horizontal turn to the right.
inline constexpr int32_t kWheelDeltaPerNotch = 120;

struct NormalisedPoint {
  int32_t x = 0;  // 0 at the picture's first column, 65535 at its last
  int32_t y = 0;
  friend bool operator==(const NormalisedPoint&, const NormalisedPoint&) = default;
};

// Maps a client position into the picture rectangle, or nothing when the rectangle is
// empty or the position lies outside it (right and bottom are outside).
std::optional<NormalisedPoint> NormalisePointer(const PictureRect& picture, int32_t x, int32_t y);

// The pointer operation: a `Pointer` message for a move (no button), a press or release
// (button set), or a wheel turn, at client position x, y; nothing when the position maps
// to no point of the picture.
void SendPointer(const WindowState& state, int32_t x, int32_t y, std::optional<MouseButton> button, bool down,
                 int32_t wheel, int32_t horizontalWheel);

// Wheel notches (fractional for smooth wheels) as a delta, rounded to the nearest unit.
int32_t WheelDeltaFromNotches(float notches);

// --- Keys ---

// Whether Ctrl and Alt are held, as the keyboard stood when the key event happened.
struct Modifiers {
  bool ctrl = false;
  bool alt = false;
};

// The keys that are always forwarded as `Key` messages: function keys, editing and
// navigation keys, modifiers, locks. Letters, digits, punctuation and the keypad are not:
// their characters arrive as text instead.
bool IsForwardedKey(uint32_t virtualKey);

// A key goes out as a `Key` message when it is always forwarded or when Ctrl or Alt is
// held (shortcuts such as Ctrl+A type no text, so the key itself must reach the client).
bool ShouldForwardKey(uint32_t virtualKey, Modifiers modifiers);

enum class Hotkey {
  None,
  SecureAttention,     // Ctrl+Alt+Delete
  ToggleClientCursor,  // Ctrl+Alt+C
  ToggleGray,          // Ctrl+Alt+G
  NextPreset,          // Ctrl+Alt+Q
  FullRepaint,         // Ctrl+Alt+R
};

// The hotkey a key-down makes; None unless both Ctrl and Alt are held.
Hotkey MatchHotkey(uint32_t virtualKey, Modifiers modifiers);

// Carries out a matched hotkey. Gray and preset changes retitle the window and announce
// themselves with a QualityReport.
void RunHotkey(Hotkey hotkey, WindowState& state, WindowHost& host);

// The key operation: one `Key` message.
void SendKey(const WindowState& state, uint32_t virtualKey, bool down);

// A key-down: a hotkey is run and consumed; any other key is forwarded if it qualifies.
void HandleKeyDown(WindowState& state, WindowHost& host, uint32_t virtualKey, Modifiers modifiers);

// A key-up is never a hotkey; it is forwarded if it qualifies.
void HandleKeyUp(const WindowState& state, uint32_t virtualKey, Modifiers modifiers);

// Tab types a tab character as well as being a key, unless Ctrl or Alt is held.
bool KeyTypesTab(uint32_t virtualKey, Modifiers modifiers);

// --- Text ---

// One UTF-16 unit as UTF-8 on its own; a surrogate (which cannot stand alone) becomes
// U+FFFD, so a character beyond the Basic Multilingual Plane goes out as two of those.
std::string Utf16UnitToUtf8(char16_t unit);

// UTF-8 text as UTF-16 units; a malformed byte sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// The text operation: one `Text` message for one UTF-16 unit.
void SendText(const WindowState& state, char16_t unit);

// One typed UTF-16 unit: control characters other than tab are dropped, Enter,
// Backspace and Esc having gone out as keys already.
void HandleCharacter(const WindowState& state, char16_t unit);

// Typed text: every UTF-16 unit in turn, each as its own character.
void HandleTypedText(const WindowState& state, std::string_view utf8);

// --- Focus ---

// When the window loses the keyboard, releases Shift, Ctrl, Alt and both Windows keys on
// the client, in that order, so none stays pressed there.
void ReleaseModifiersOnFocusLoss(const WindowState& state);

}  // namespace stv
