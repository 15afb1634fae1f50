// The interactive session: the client's screen in a window, the supporter's input sent
// back, until the window is closed or the connection ends.
#pragma once

#include "app/command_line.h"

namespace stv {

// Connects, shows the session window and runs it. Of the options only the host, port,
// view-only flag and security record matter here; the window always starts at preset
// High with grayscale off. Returns 0 once a session has run and ended, 1 when the
// connection or the window cannot be set up (the reason printed to standard error).
int RunInteractive(const Options& options);

}  // namespace stv
