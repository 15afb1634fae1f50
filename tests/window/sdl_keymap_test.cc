#include "window/sdl_keymap.h"

#include <gtest/gtest.h>

namespace stv {
namespace {

uint32_t Map(SDL_Scancode scancode, SDL_Keycode sym, Uint16 mod = KMOD_NUM) {
  SDL_Keysym key{};
  key.scancode = scancode;
  key.sym = sym;
  key.mod = mod;
  return VirtualKeyFromSdl(key);
}

uint32_t Map(SDL_Scancode scancode) { return Map(scancode, SDL_GetKeyFromScancode(scancode)); }

TEST(SdlKeymapTest, LettersFollowALatinLayoutOtherwiseThePosition) {
  EXPECT_EQ(Map(SDL_SCANCODE_A, SDLK_a), 65u);
  EXPECT_EQ(Map(SDL_SCANCODE_Q, SDLK_a), 65u);   // AZERTY
  EXPECT_EQ(Map(SDL_SCANCODE_F, 0x0430), 70u);   // Cyrillic
  EXPECT_EQ(Map(SDL_SCANCODE_1, SDLK_AMPERSAND), 49u);  // digits by position
  EXPECT_EQ(Map(SDL_SCANCODE_0, SDLK_0), 48u);
}

TEST(SdlKeymapTest, ModifiersAreSideNeutralExceptTheWindowsKeys) {
  EXPECT_EQ(Map(SDL_SCANCODE_RSHIFT), 16u);
  EXPECT_EQ(Map(SDL_SCANCODE_RCTRL), 17u);
  EXPECT_EQ(Map(SDL_SCANCODE_RALT), 18u);
  EXPECT_EQ(Map(SDL_SCANCODE_LGUI), 91u);
  EXPECT_EQ(Map(SDL_SCANCODE_RGUI), 92u);
}

TEST(SdlKeymapTest, FunctionKeysContinueAcrossSdlsTwoRanges) {
  EXPECT_EQ(Map(SDL_SCANCODE_F12), 123u);
  EXPECT_EQ(Map(SDL_SCANCODE_F13), 124u);
  EXPECT_EQ(Map(SDL_SCANCODE_F24), 135u);
  EXPECT_EQ(Map(SDL_SCANCODE_AUDIONEXT), 0u);  // no code for it
}

TEST(SdlKeymapTest, KeypadDependsOnNumLock) {
  EXPECT_EQ(Map(SDL_SCANCODE_KP_0), 96u);
  EXPECT_EQ(Map(SDL_SCANCODE_KP_9), 105u);
  EXPECT_EQ(Map(SDL_SCANCODE_KP_PERIOD), 110u);
  EXPECT_EQ(Map(SDL_SCANCODE_KP_7, SDLK_KP_7, KMOD_NONE), 36u);  // Home
  EXPECT_EQ(Map(SDL_SCANCODE_KP_5, SDLK_KP_5, KMOD_NONE), 12u);  // Clear
  EXPECT_EQ(Map(SDL_SCANCODE_KP_PERIOD, SDLK_KP_PERIOD, KMOD_NONE), 46u);
  EXPECT_EQ(Map(SDL_SCANCODE_KP_ENTER, SDLK_KP_ENTER, KMOD_NONE), 13u);
  EXPECT_EQ(Map(SDL_SCANCODE_KP_PLUS, SDLK_KP_PLUS, KMOD_NONE), 107u);
}

}  // namespace
}  // namespace stv
