// The Win32 session window. Until it is built, interactive sessions end at start-up with
// the same message as a system that has no display.
#include "window/session_window.h"

namespace stv {

std::unique_ptr<SessionWindow> CreateSessionWindow(WindowState&, std::string& error) {
  error = "the Win32 session window is not built yet";
  return nullptr;
}

}  // namespace stv
