#include "interactive/virtual_display.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace stv::testing {

bool VirtualDisplay::Start(std::string& error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return false;
  }
  LaunchPlan plan;
  // -noreset: by default the server resets whenever its last client leaves and drops any
  // connection arriving meanwhile, which between two viewers happens all the time.
  plan.argv = {"Xvfb", "-displayfd", "3", "-noreset", "-screen", "0", "1600x1000x24", "-dpi", "96", "-nolisten", "tcp"};
  plan.passFd = fds[1];
  const bool started = server_.Start(plan, error);
  close(fds[1]);
  std::string number;  // written by Xvfb, with a newline, once it has chosen
  pollfd readable{fds[0], POLLIN, 0};
  char buffer[16];
  while (started && number.find('\n') == std::string::npos && poll(&readable, 1, 15000) == 1) {
    const ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    number.append(buffer, static_cast<size_t>(got));
  }
  close(fds[0]);
  if (!started) return false;
  name_ = ":" + number.substr(0, number.find('\n'));
  const bool reachable = PollUntil([&] {
    Display* display = XOpenDisplay(name_.c_str());
    if (display) XCloseDisplay(display);
    return display != nullptr;
  });
  if (!reachable) error = "Xvfb on display \"" + name_ + "\" takes no clients";
  return reachable;
}

std::optional<std::string> DisplayDriver::FindWindow(pid_t pid, const std::string& prefix) {
  std::string found;
  PollUntil([&] {
    const auto result =
        Run({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid), "--name", "^" + prefix});
    found = result.exitCode == 0 ? result.output.substr(0, result.output.find('\n')) : "";
    return !found.empty();
  });
  if (found.empty()) return std::nullopt;
  return found;
}

std::string DisplayDriver::WindowName(const std::string& window) {
  std::string name = Run({"xdotool", "getwindowname", window}).output;
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

bool DisplayDriver::Xdotool(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const auto result = Run(argv);
  if (result.exitCode != 0) std::fprintf(stderr, "xdotool failed (%d): %s\n", result.exitCode, result.errors.c_str());
  return result.exitCode == 0;
}

bool DisplayDriver::ClickAt(const std::string& window, int x, int y, int button) {
  return Xdotool({"mousemove", "--window", window, std::to_string(x), std::to_string(y)}) &&
         Xdotool({"click", std::to_string(button)});
}

std::optional<Screenshot> DisplayDriver::Capture(const std::string& window) {
  // "P6\nW H\n255\n" and the pixels.
  const auto result = Run({"import", "-window", window, "-depth", "8", "ppm:-"});
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

bool DisplayDriver::RequestClose(const std::string& window) {
  std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(display_.c_str()), XCloseDisplay);
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

bool DisplayDriver::SendToAWindowThatIsGone() {
  std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(display_.c_str()), XCloseDisplay);
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
