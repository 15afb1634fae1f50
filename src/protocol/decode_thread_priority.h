// A scheduling hint for the threads that decode tiles.
#pragma once

namespace stv {

// Lets the calling thread, a decoder that runs as long as there are tiles, give way to the
// threads that sleep most of the time and must act at once: the transport's writer (a mouse
// move), its reader, the window. With every core decoding, a mouse move would otherwise wait
// milliseconds for a decoder's slice to end. Best effort: where the system has no fitting
// hint, nothing changes.
void GiveWayToPromptThreads();

}  // namespace stv
