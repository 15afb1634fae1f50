// SDL keys as the Windows virtual-key codes the client understands.
#pragma once

#include <SDL.h>

#include <cstdint>

namespace stv {

// The virtual-key code for a key event, or 0 for a key the client has no code for.
// Letters follow the active layout where it has Latin letters (as virtual keys do) and
// the key's position otherwise; digits and punctuation follow the key's position on a US
// keyboard. Modifiers give the side-neutral codes Shift, Ctrl and Alt that key messages
// carry. Keypad keys give their navigation codes while Num Lock is off.
uint32_t VirtualKeyFromSdl(const SDL_Keysym& key);

}  // namespace stv
