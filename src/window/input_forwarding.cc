#include "window/input_forwarding.h"

#include <algorithm>
#include <cmath>

#include "json/utf8.h"
#include "protocol/control_message.h"
#include "window/virtual_keys.h"

namespace stv {
namespace {

constexpr int64_t kPointerRange = 65535;

int32_t NormaliseAxis(int32_t position, int32_t start, int32_t length) {
  const int64_t scaled = (int64_t{position} - start) * kPointerRange / std::max<int64_t>(int64_t{length} - 1, 1);
  return static_cast<int32_t>(std::clamp<int64_t>(scaled, 0, kPointerRange));
}

bool IsSurrogate(char32_t code) { return code >= 0xD800 && code <= 0xDFFF; }

// The code point at text[i], advancing i past it. Anything malformed (a stray or missing
// continuation byte, an overlong form, a surrogate, a value beyond U+10FFFF) yields the
// replacement character and skips one byte.
char32_t NextCodePoint(std::string_view text, size_t& i) {
  uint32_t code = static_cast<unsigned char>(text[i]);
  const size_t length = code < 0x80 ? 1 : DecodeUtf8(text, i, code);
  if (length == 0 || IsSurrogate(code)) {
    ++i;
    return kReplacementCharacter;
  }
  i += length;
  return code;
}

}  // namespace

// --- Pointer ---

std::optional<NormalisedPoint> NormalisePointer(const PictureRect& picture, int32_t x, int32_t y) {
  const int32_t width = picture.Width();
  const int32_t height = picture.Height();
  if (width < 1 || height < 1) return std::nullopt;
  if (x < picture.left || x >= picture.right || y < picture.top || y >= picture.bottom) return std::nullopt;
  return NormalisedPoint{NormaliseAxis(x, picture.left, width), NormaliseAxis(y, picture.top, height)};
}

void SendPointer(const WindowState& state, int32_t x, int32_t y, std::optional<MouseButton> button, bool down,
                 int32_t wheel, int32_t horizontalWheel) {
  if (state.viewOnly) return;
  const auto point = NormalisePointer(state.pictureRect, x, y);
  if (!point) return;
  ControlMessage message = MakeControlMessage(ControlKind::Pointer);
  message.x = point->x;
  message.y = point->y;
  if (button) message.btn = static_cast<int32_t>(*button);
  message.down = down;
  message.wheel = wheel;
  message.hwheel = horizontalWheel;
  SendControlMessage(state, message);
}

int32_t WheelDeltaFromNotches(float notches) {
  const double delta = std::round(static_cast<double>(notches) * kWheelDeltaPerNotch);
  return static_cast<int32_t>(std::clamp(delta, -2147483648.0, 2147483647.0));
}

// --- Keys ---

bool IsForwardedKey(uint32_t virtualKey) {
  if (virtualKey >= vk::kF1 && virtualKey <= vk::kF24) return true;
  if (virtualKey >= vk::kLeftShift && virtualKey <= vk::kRightMenu) return true;
  if (virtualKey >= vk::kPrior && virtualKey <= vk::kDown) return true;  // Page Up .. arrows
  switch (virtualKey) {
    case vk::kBack:
    case vk::kTab:
    case vk::kReturn:
    case vk::kShift:
    case vk::kControl:
    case vk::kMenu:
    case vk::kPause:
    case vk::kCapital:
    case vk::kEscape:
    case vk::kInsert:
    case vk::kDelete:
    case vk::kLeftWindows:
    case vk::kRightWindows:
    case vk::kApps:
    case vk::kNumLock:
    case vk::kScroll: return true;
    default: return false;
  }
}

bool ShouldForwardKey(uint32_t virtualKey, Modifiers modifiers) {
  return IsForwardedKey(virtualKey) || modifiers.ctrl || modifiers.alt;
}

Hotkey MatchHotkey(uint32_t virtualKey, Modifiers modifiers) {
  if (!modifiers.ctrl || !modifiers.alt) return Hotkey::None;
  switch (virtualKey) {
    case vk::kDelete: return Hotkey::SecureAttention;
    case vk::kLetterC: return Hotkey::ToggleClientCursor;
    case vk::kLetterG: return Hotkey::ToggleGray;
    case vk::kLetterQ: return Hotkey::NextPreset;
    case vk::kLetterR: return Hotkey::FullRepaint;
    default: return Hotkey::None;
  }
}

void RunHotkey(Hotkey hotkey, WindowState& state, WindowHost& host) {
  switch (hotkey) {
    case Hotkey::None: break;
    case Hotkey::SecureAttention: SendControlMessage(state, MakeControlMessage(ControlKind::SecureAttention)); break;
    case Hotkey::ToggleClientCursor: {
      state.clientCursorShown = !state.clientCursorShown;
      ControlMessage message = MakeControlMessage(ControlKind::CursorInStream);
      message.show = state.clientCursorShown;
      SendControlMessage(state, message);
      break;
    }
    case Hotkey::ToggleGray:
      state.gray = !state.gray;
      UpdateTitle(state, host);
      ReportQuality(state, host);
      break;
    case Hotkey::NextPreset:
      state.preset = NextQualityPreset(state.preset);
      UpdateTitle(state, host);
      ReportQuality(state, host);
      break;
    case Hotkey::FullRepaint: SendControlMessage(state, MakeControlMessage(ControlKind::FullRepaint)); break;
  }
}

void SendKey(const WindowState& state, uint32_t virtualKey, bool down) {
  if (state.viewOnly) return;
  ControlMessage message = MakeControlMessage(ControlKind::Key);
  message.vk = static_cast<int32_t>(virtualKey);
  message.down = down;
  SendControlMessage(state, message);
}

void HandleKeyDown(WindowState& state, WindowHost& host, uint32_t virtualKey, Modifiers modifiers) {
  const Hotkey hotkey = MatchHotkey(virtualKey, modifiers);
  if (hotkey != Hotkey::None) {
    RunHotkey(hotkey, state, host);
    return;
  }
  if (ShouldForwardKey(virtualKey, modifiers)) SendKey(state, virtualKey, true);
}

void HandleKeyUp(const WindowState& state, uint32_t virtualKey, Modifiers modifiers) {
  if (ShouldForwardKey(virtualKey, modifiers)) SendKey(state, virtualKey, false);
}

bool KeyTypesTab(uint32_t virtualKey, Modifiers modifiers) {
  return virtualKey == vk::kTab && !modifiers.ctrl && !modifiers.alt;
}

// --- Text ---

std::string Utf16UnitToUtf8(char16_t unit) {
  std::string out;
  AppendUtf8(out, IsSurrogate(unit) ? kReplacementCharacter : unit);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string units;
  size_t i = 0;
  while (i < text.size()) {
    const char32_t code = NextCodePoint(text, i);
    if (code < 0x10000) {
      units += static_cast<char16_t>(code);
    } else {
      units += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    }
  }
  return units;
}

void SendText(const WindowState& state, char16_t unit) {
  if (state.viewOnly) return;
  std::string utf8 = Utf16UnitToUtf8(unit);
  if (utf8.empty()) return;
  ControlMessage message = MakeControlMessage(ControlKind::Text);
  message.s = std::move(utf8);
  SendControlMessage(state, message);
}

void HandleCharacter(const WindowState& state, char16_t unit) {
  if (unit < 32 && unit != u'\t') return;
  SendText(state, unit);
}

void HandleTypedText(const WindowState& state, std::string_view utf8) {
  for (char16_t unit : Utf8ToUtf16(utf8)) HandleCharacter(state, unit);
}

// --- Focus ---

void ReleaseModifiersOnFocusLoss(const WindowState& state) {
  for (uint32_t key : {vk::kShift, vk::kControl, vk::kMenu, vk::kLeftWindows, vk::kRightWindows}) {
    SendKey(state, key, false);
  }
}

}  // namespace stv
