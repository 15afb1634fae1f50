// The platform window as the session logic sees it, and what the window does on its
// timer and when it is resized.
#pragma once

#include <cstdint>
#include <string>

#include "window/window_state.h"

namespace stv {

// Implemented by the platform layer; tests use a recording stand-in.
class WindowHost {
 public:
  virtual ~WindowHost() = default;
  // Dots per inch of the window's display; 0 when unknown.
  virtual int Dpi() const = 0;
  virtual void SetTitle(const std::string& title) = 0;
  virtual int64_t NowNanos() const { return MonotonicNanos(); }
};

// Sets the title from the state and picture as they stand.
void UpdateTitle(const WindowState& state, WindowHost& host);

// Sends a QualityReport measured up to now at the window's DPI.
void ReportQuality(WindowState& state, WindowHost& host);

// The once-a-second tick: a report, then the title.
void OnTimerTick(WindowState& state, WindowHost& host);

// A resize reports at once, still with the rectangle of the last paint; the new one goes
// out with the tick after the repaint.
void OnResize(WindowState& state, WindowHost& host);

}  // namespace stv
