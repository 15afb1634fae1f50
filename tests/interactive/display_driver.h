// What the end-to-end tests do on the X server of $DISPLAY (ctest starts a private one)
// through xdotool, ImageMagick's import and Xlib.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace stv::testing {

struct Screenshot {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // rows from the top, 3 bytes a pixel

  const uint8_t* At(int x, int y) const { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
};

// The visible window of process `pid` whose name starts with `prefix`, waiting up to kPatience.
// The process matters: a window of an earlier viewer may linger for a moment.
std::optional<std::string> FindWindow(pid_t pid, const std::string& prefix);
std::string WindowName(const std::string& window);
// `xdotool ARGS...`; true when it exits with 0.
bool Xdotool(const std::vector<std::string>& arguments);
// Clicks `button` (1 left, 2 middle, 3 right, 4 to 7 wheel) at window coordinates x, y.
bool ClickAt(const std::string& window, int x, int y, int button = 1);
std::optional<Screenshot> Capture(const std::string& window);
// Asks the window to close, as a window manager's close button does.
bool RequestClose(const std::string& window);
// Sends an event to a window that was just destroyed and waits for the server's answer,
// so the BadWindow error reaches this process's X error handler before it returns.
bool SendToAWindowThatIsGone();

}  // namespace stv::testing
