#include "window/sdl_keymap.h"

#include <gtest/gtest.h>

#include <utility>

namespace stv {
namespace {

uint32_t Map(SDL_Scancode scancode, SDL_Keycode sym, Uint16 mod = KMOD_NUM) {
  SDL_Keysym key{};
  key.scancode = scancode;
  key.sym = sym;
  key.mod = mod;
  return VirtualKeyFromSdl(key);
}

TEST(SdlKeymapTest, MapsByLayoutPositionAndNumLock) {
  // As the US layout names them, Num Lock on: modifiers are side-neutral except the Windows
  // keys, and function keys continue across SDL's two ranges.
  const std::pair<SDL_Scancode, uint32_t> usKeys[] = {
      {SDL_SCANCODE_RSHIFT, 16}, {SDL_SCANCODE_RCTRL, 17},      {SDL_SCANCODE_RALT, 18},
      {SDL_SCANCODE_LGUI, 91},   {SDL_SCANCODE_RGUI, 92},       {SDL_SCANCODE_F12, 123},
      {SDL_SCANCODE_F13, 124},   {SDL_SCANCODE_F24, 135},       {SDL_SCANCODE_KP_0, 96},
      {SDL_SCANCODE_KP_9, 105},  {SDL_SCANCODE_KP_PERIOD, 110}, {SDL_SCANCODE_AUDIONEXT, 0}};  // no code for it
  for (const auto& [scancode, expected] : usKeys) {
    EXPECT_EQ(Map(scancode, SDL_GetKeyFromScancode(scancode)), expected) << SDL_GetScancodeName(scancode);
  }
  // Letters follow a Latin layout, otherwise the position; digits always the position.
  EXPECT_EQ(Map(SDL_SCANCODE_A, SDLK_a), 65u);
  EXPECT_EQ(Map(SDL_SCANCODE_Q, SDLK_a), 65u);  // AZERTY
  EXPECT_EQ(Map(SDL_SCANCODE_F, 0x0430), 70u);  // Cyrillic
  EXPECT_EQ(Map(SDL_SCANCODE_1, SDLK_AMPERSAND), 49u);
  EXPECT_EQ(Map(SDL_SCANCODE_0, SDLK_0), 48u);
  // Num Lock off: the keypad's navigation keys.
  EXPECT_EQ(Map(SDL_SCANCODE_KP_7, SDLK_KP_7, KMOD_NONE), 36u);  // Home
  EXPECT_EQ(Map(SDL_SCANCODE_KP_5, SDLK_KP_5, KMOD_NONE), 12u);  // Clear
  EXPECT_EQ(Map(SDL_SCANCODE_KP_PERIOD, SDLK_KP_PERIOD, KMOD_NONE), 46u);
  EXPECT_EQ(Map(SDL_SCANCODE_KP_ENTER, SDLK_KP_ENTER, KMOD_NONE), 13u);
  EXPECT_EQ(Map(SDL_SCANCODE_KP_PLUS, SDLK_KP_PLUS, KMOD_NONE), 107u);
}

}  // namespace
}  // namespace stv
