#include "window/sdl_keymap.h"

#include "window/virtual_keys.h"

namespace stv {
namespace {

// Keypad keys while Num Lock is off act as the navigation keys printed on them.
uint32_t KeypadNavigationKey(SDL_Scancode scancode) {
  switch (scancode) {
    case SDL_SCANCODE_KP_0: return vk::kInsert;
    case SDL_SCANCODE_KP_1: return vk::kEnd;
    case SDL_SCANCODE_KP_2: return vk::kDown;
    case SDL_SCANCODE_KP_3: return vk::kNext;
    case SDL_SCANCODE_KP_4: return vk::kLeft;
    case SDL_SCANCODE_KP_5: return vk::kClear;
    case SDL_SCANCODE_KP_6: return vk::kRight;
    case SDL_SCANCODE_KP_7: return vk::kHome;
    case SDL_SCANCODE_KP_8: return vk::kUp;
    case SDL_SCANCODE_KP_9: return vk::kPrior;
    case SDL_SCANCODE_KP_PERIOD: return vk::kDelete;
    default: return 0;
  }
}

uint32_t KeyFromScancode(SDL_Scancode scancode) {
  if (scancode >= SDL_SCANCODE_A && scancode <= SDL_SCANCODE_Z) return vk::kLetterA + (scancode - SDL_SCANCODE_A);
  // SDL orders the digit row 1..9 then 0.
  if (scancode >= SDL_SCANCODE_1 && scancode <= SDL_SCANCODE_9) return vk::kDigit0 + 1 + (scancode - SDL_SCANCODE_1);
  if (scancode >= SDL_SCANCODE_F1 && scancode <= SDL_SCANCODE_F12) return vk::kF1 + (scancode - SDL_SCANCODE_F1);
  if (scancode >= SDL_SCANCODE_F13 && scancode <= SDL_SCANCODE_F24) return vk::kF1 + 12 + (scancode - SDL_SCANCODE_F13);
  if (scancode >= SDL_SCANCODE_KP_1 && scancode <= SDL_SCANCODE_KP_9) {
    return vk::kNumpad0 + 1 + (scancode - SDL_SCANCODE_KP_1);
  }
  switch (scancode) {
    case SDL_SCANCODE_0: return vk::kDigit0;
    case SDL_SCANCODE_RETURN: return vk::kReturn;
    case SDL_SCANCODE_ESCAPE: return vk::kEscape;
    case SDL_SCANCODE_BACKSPACE: return vk::kBack;
    case SDL_SCANCODE_TAB: return vk::kTab;
    case SDL_SCANCODE_SPACE: return vk::kSpace;
    case SDL_SCANCODE_MINUS: return vk::kOemMinus;
    case SDL_SCANCODE_EQUALS: return vk::kOemPlus;
    case SDL_SCANCODE_LEFTBRACKET: return vk::kOemOpenBracket;
    case SDL_SCANCODE_RIGHTBRACKET: return vk::kOemCloseBracket;
    case SDL_SCANCODE_BACKSLASH: return vk::kOemBackslash;
    case SDL_SCANCODE_NONUSHASH: return vk::kOemBackslash;
    case SDL_SCANCODE_SEMICOLON: return vk::kOemSemicolon;
    case SDL_SCANCODE_APOSTROPHE: return vk::kOemQuote;
    case SDL_SCANCODE_GRAVE: return vk::kOemBacktick;
    case SDL_SCANCODE_COMMA: return vk::kOemComma;
    case SDL_SCANCODE_PERIOD: return vk::kOemPeriod;
    case SDL_SCANCODE_SLASH: return vk::kOemSlash;
    case SDL_SCANCODE_NONUSBACKSLASH: return vk::kOem102;
    case SDL_SCANCODE_CAPSLOCK: return vk::kCapital;
    case SDL_SCANCODE_PRINTSCREEN: return vk::kSnapshot;
    case SDL_SCANCODE_SCROLLLOCK: return vk::kScroll;
    case SDL_SCANCODE_PAUSE: return vk::kPause;
    case SDL_SCANCODE_INSERT: return vk::kInsert;
    case SDL_SCANCODE_HOME: return vk::kHome;
    case SDL_SCANCODE_PAGEUP: return vk::kPrior;
    case SDL_SCANCODE_DELETE: return vk::kDelete;
    case SDL_SCANCODE_END: return vk::kEnd;
    case SDL_SCANCODE_PAGEDOWN: return vk::kNext;
    case SDL_SCANCODE_RIGHT: return vk::kRight;
    case SDL_SCANCODE_LEFT: return vk::kLeft;
    case SDL_SCANCODE_DOWN: return vk::kDown;
    case SDL_SCANCODE_UP: return vk::kUp;
    case SDL_SCANCODE_NUMLOCKCLEAR: return vk::kNumLock;
    case SDL_SCANCODE_KP_DIVIDE: return vk::kDivide;
    case SDL_SCANCODE_KP_MULTIPLY: return vk::kMultiply;
    case SDL_SCANCODE_KP_MINUS: return vk::kSubtract;
    case SDL_SCANCODE_KP_PLUS: return vk::kAdd;
    case SDL_SCANCODE_KP_ENTER: return vk::kReturn;
    case SDL_SCANCODE_KP_0: return vk::kNumpad0;
    case SDL_SCANCODE_KP_PERIOD: return vk::kDecimal;
    case SDL_SCANCODE_KP_COMMA: return vk::kSeparator;
    case SDL_SCANCODE_APPLICATION: return vk::kApps;
    case SDL_SCANCODE_MENU: return vk::kApps;
    case SDL_SCANCODE_LCTRL:
    case SDL_SCANCODE_RCTRL: return vk::kControl;
    case SDL_SCANCODE_LSHIFT:
    case SDL_SCANCODE_RSHIFT: return vk::kShift;
    case SDL_SCANCODE_LALT:
    case SDL_SCANCODE_RALT: return vk::kMenu;
    case SDL_SCANCODE_LGUI: return vk::kLeftWindows;
    case SDL_SCANCODE_RGUI: return vk::kRightWindows;
    default: return 0;
  }
}

}  // namespace

uint32_t VirtualKeyFromSdl(const SDL_Keysym& key) {
  if (key.sym >= SDLK_a && key.sym <= SDLK_z) return vk::kLetterA + static_cast<uint32_t>(key.sym - SDLK_a);
  if ((key.mod & KMOD_NUM) == 0) {
    if (const uint32_t navigation = KeypadNavigationKey(key.scancode)) return navigation;
  }
  return KeyFromScancode(key.scancode);
}

}  // namespace stv
