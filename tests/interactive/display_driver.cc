#include "interactive/display_driver.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace stv::testing {

std::optional<std::string> FindWindow(pid_t pid, const std::string& prefix) {
  std::string found;
  PollUntil([&] {
    const auto result = RunCommand(
        {"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid), "--name", "^" + prefix});
    found = result.exitCode == 0 ? result.output.substr(0, result.output.find('\n')) : "";
    return !found.empty();
  });
  if (found.empty()) return std::nullopt;
  return found;
}

std::string WindowName(const std::string& window) {
  std::string name = RunCommand({"xdotool", "getwindowname", window}).output;
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

bool Xdotool(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const auto result = RunCommand(argv);
  if (result.exitCode != 0) std::fprintf(stderr, "xdotool failed (%d): %s\n", result.exitCode, result.errors.c_str());
  return result.exitCode == 0;
}

bool ClickAt(const std::string& window, int x, int y, int button) {
  return Xdotool({"mousemove", "--window", window, std::to_string(x), std::to_string(y)}) &&
         Xdotool({"click", std::to_string(button)});
}

std::optional<Screenshot> Capture(const std::string& window) {
  // "P6\nW H\n255\n" and the pixels.
  const auto result = RunCommand({"import", "-window", window, "-depth", "8", "ppm:-"});
  Screenshot shot;
  int header = 0;
  if (result.exitCode != 0 ||
      std::sscanf(result.output.c_str(), "P6 %d %d 255%n", &shot.width, &shot.height, &header) != 2 ||
      shot.width <= 0 || shot.height <= 0) {
    return std::nullopt;
  }
  const size_t size = static_cast<size_t>(shot.width) * shot.height * 3;
  if (result.output.size() < static_cast<size_t>(header) + 1 + size) return std::nullopt;
  const auto pixels = result.output.begin() + header + 1;
  shot.rgb.assign(pixels, pixels + static_cast<std::ptrdiff_t>(size));
  return shot;
}

bool RequestClose(const std::string& window) {
  std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
  if (!display) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = std::strtoul(window.c_str(), nullptr, 10);
  event.xclient.message_type = XInternAtom(display.get(), "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display.get(), "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  const bool sent = XSendEvent(display.get(), event.xclient.window, False, NoEventMask, &event) != 0;
  XSync(display.get(), False);
  return sent;
}

bool SendToAWindowThatIsGone() {
  std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
  if (!display) return false;
  const Window gone = XCreateSimpleWindow(display.get(), DefaultRootWindow(display.get()), 0, 0, 1, 1, 0, 0, 0);
  XDestroyWindow(display.get(), gone);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = gone;
  event.xclient.format = 32;
  XSendEvent(display.get(), gone, False, NoEventMask, &event);
  XSync(display.get(), False);
  return true;
}

}  // namespace stv::testing
