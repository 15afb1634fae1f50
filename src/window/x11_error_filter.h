// A guard against one harmless X error that would otherwise end the program.
#pragma once

namespace stv {

// While SDL waits for events it answers each X event it turns into an SDL event with a
// wakeup message to its own window, sent over a second connection to the X server. When
// that event is the user closing the window, the window is destroyed at once, and the
// server may handle the destruction first: the wakeup then fails with BadWindow, and
// Xlib's default handler ends the process. This lets exactly that error pass and hands
// every other one on. Call it before SDL starts: on stopping, SDL puts back the handler
// it found then, before closing the connection that reads the error. Harmless where SDL
// does not use X11. Idempotent.
void IgnoreLateWakeupErrors();

}  // namespace stv
