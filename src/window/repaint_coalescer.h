// Repaint requests from the reader thread, merged so that at most one is ever queued for
// the window's thread: a stream faster than painting then costs one paint per paint
// time, never a growing queue.
#pragma once

#include <atomic>

namespace stv {

class RepaintCoalescer {
 public:
  // Any thread, after changing the picture. True when the caller must queue a repaint;
  // false when one is queued already and will show the change.
  bool Request() { return !pending_.exchange(true); }

  // The window's thread, when it takes the queued repaint and before it reads the
  // picture: a change made from here on queues a new one.
  void Take() { pending_.store(false); }

  // Queueing failed: the next request must try again.
  void QueueFailed() { pending_.store(false); }

 private:
  std::atomic<bool> pending_{false};
};

}  // namespace stv
