#include "window/window_state.h"

#include <chrono>

namespace stv {

int64_t MonotonicNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SendControlMessage(const WindowState& state, const ControlMessage& message) {
  if (state.send) state.send(message);
}

}  // namespace stv
