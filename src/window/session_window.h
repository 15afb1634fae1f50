// The session window as the interactive session drives it. The platform layer implements
// it (SDL2 on Linux); nothing here depends on a toolkit.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "window/window_state.h"

namespace stv {

// Why the event loop ended.
enum class LoopEnd {
  Closed,            // the user closed the window
  TransportStopped,  // the session was no longer open when an event arrived
};

class SessionWindow {
 public:
  virtual ~SessionWindow() = default;

  // A function any thread may call to have the picture repainted on the window's thread.
  // Requests made before an earlier one is served are merged into it. Valid for the
  // window's lifetime.
  virtual std::function<void()> RepaintRequester() = 0;

  // Sends a QualityReport now (the session sends the first one as soon as it runs).
  virtual void ReportQuality() = 0;

  // Runs the window until it is closed or, checked before each event, `sessionOpen`
  // turns false. A one-second timer guarantees an event at least that often.
  virtual LoopEnd RunEventLoop(const std::function<bool()>& sessionOpen) = 0;
};

// Creates and shows the 1280 x 800 window titled "Stavolin" for `state`, which must
// outlive it, and starts its one-second timer. Null, with the reason in `error`, when no
// window can be created (no display, for one).
std::unique_ptr<SessionWindow> CreateSessionWindow(WindowState& state, std::string& error);

// Whether a window could be shown at all, asked before connecting: an agent may serve a
// single session, and a viewer that cannot show it must not use it up. False, with the
// reason in `error`, when there is no display.
bool DisplayAvailable(std::string& error);

}  // namespace stv
