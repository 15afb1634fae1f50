#include "window/sdl_keymap.h"

#include <gtest/gtest.h>

namespace stv {
namespace {

SDL_Keysym Key(SDL_Scancode scancode, SDL_Keycode sym, Uint16 mod = KMOD_NUM) {
  SDL_Keysym key{};
  key.scancode = scancode;
  key.sym = sym;
  key.mod = mod;
  return key;
}

SDL_Keysym Key(SDL_Scancode scancode) { return Key(scancode, SDL_GetKeyFromScancode(scancode)); }

TEST(SdlKeymapTest, LettersFollowTheLayoutWhereItIsLatin) {
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_A, SDLK_a)), 65u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_Z, SDLK_z)), 90u);
  // AZERTY: the key in the US 'Q' position types 'a'.
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_Q, SDLK_a)), 65u);
  // Cyrillic layout: no Latin letter, so the key's position decides.
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_F, 0x0430)), 70u);
}

TEST(SdlKeymapTest, DigitsFollowThePosition) {
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_1, SDLK_1)), 49u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_9, SDLK_9)), 57u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_0, SDLK_0)), 48u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_1, SDLK_AMPERSAND)), 49u);  // AZERTY
}

TEST(SdlKeymapTest, ModifiersAreSideNeutralExceptTheWindowsKeys) {
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_LSHIFT)), 16u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_RSHIFT)), 16u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_LCTRL)), 17u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_RCTRL)), 17u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_LALT)), 18u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_RALT)), 18u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_LGUI)), 91u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_RGUI)), 92u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_APPLICATION)), 93u);
}

TEST(SdlKeymapTest, FunctionKeysRunFromF1ToF24) {
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_F1)), 112u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_F12)), 123u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_F13)), 124u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_F24)), 135u);
}

TEST(SdlKeymapTest, EditingAndNavigation) {
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_BACKSPACE)), 8u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_TAB)), 9u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_RETURN)), 13u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_PAUSE)), 19u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_CAPSLOCK)), 20u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_ESCAPE)), 27u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_SPACE)), 32u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_PAGEUP)), 33u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_PAGEDOWN)), 34u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_END)), 35u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_HOME)), 36u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_LEFT)), 37u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_UP)), 38u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_RIGHT)), 39u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_DOWN)), 40u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_INSERT)), 45u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_DELETE)), 46u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_NUMLOCKCLEAR)), 144u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_SCROLLLOCK)), 145u);
}

TEST(SdlKeymapTest, UsPunctuation) {
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_SEMICOLON)), 186u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_EQUALS)), 187u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_COMMA)), 188u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_MINUS)), 189u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_PERIOD)), 190u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_SLASH)), 191u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_GRAVE)), 192u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_LEFTBRACKET)), 219u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_BACKSLASH)), 220u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_RIGHTBRACKET)), 221u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_APOSTROPHE)), 222u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_NONUSBACKSLASH)), 226u);
}

TEST(SdlKeymapTest, KeypadDependsOnNumLock) {
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_0)), 96u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_7)), 103u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_9)), 105u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_PERIOD)), 110u);
  const Uint16 numLockOff = KMOD_NONE;
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_7, SDLK_KP_7, numLockOff)), 36u);  // Home
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_5, SDLK_KP_5, numLockOff)), 12u);  // Clear
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_0, SDLK_KP_0, numLockOff)), 45u);  // Insert
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_PERIOD, SDLK_KP_PERIOD, numLockOff)), 46u);
  // Operators and Enter do not depend on Num Lock.
  for (Uint16 mod : {Uint16{KMOD_NUM}, numLockOff}) {
    EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_MULTIPLY, SDLK_KP_MULTIPLY, mod)), 106u);
    EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_PLUS, SDLK_KP_PLUS, mod)), 107u);
    EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_MINUS, SDLK_KP_MINUS, mod)), 109u);
    EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_DIVIDE, SDLK_KP_DIVIDE, mod)), 111u);
    EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_KP_ENTER, SDLK_KP_ENTER, mod)), 13u);
  }
}

TEST(SdlKeymapTest, KeysWithoutACodeGiveZero) {
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_UNKNOWN, SDLK_UNKNOWN)), 0u);
  EXPECT_EQ(VirtualKeyFromSdl(Key(SDL_SCANCODE_AUDIONEXT)), 0u);
}

}  // namespace
}  // namespace stv
