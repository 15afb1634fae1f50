// Repaint requests from the decoding threads, merged so that at most one is ever queued for
// the window's thread: a stream faster than painting then costs one paint per paint
// time, never a growing queue. And presents paced to the display, since a stream faster
// than the display's refresh would otherwise pay for pictures nobody sees.
#pragma once

#include <atomic>
#include <cstdint>

namespace stv {

class RepaintCoalescer {
 public:
  // Any thread, after changing the picture. True when the caller must queue a repaint;
  // false when one is queued already and will show the change.
  bool Request() { return !pending_.exchange(true); }

  // The window's thread, before it reads the picture to paint it: a change made from here on
  // queues a new request. Until then, a queued or deferred paint shows every change.
  void Take() { pending_.store(false); }

  // Queueing failed: the next request must try again.
  void QueueFailed() { pending_.store(false); }

 private:
  std::atomic<bool> pending_{false};
};

// At most one present per refresh interval, or per two while the decoders are behind the
// stream: then the cores a present takes would let the picture fall further behind the remote
// screen, where it should catch up. Owned by the window's thread.
class PresentPacer {
 public:
  static constexpr int kDefaultRefreshHz = 60;  // when the display does not say

  // `refreshHz` as the display reports it; 0 or nonsense means the default.
  explicit PresentPacer(int refreshHz)
      : intervalNanos_(1000000000 / (refreshHz >= 1 && refreshHz <= 1000 ? refreshHz : kDefaultRefreshHz)) {}

  // How long a present must wait from `nowNanos` (monotonic) to keep to its pace; 0 when it
  // may go now.
  int64_t WaitBefore(int64_t nowNanos, bool decodingBehind = false) const {
    const int64_t due = lastNanos_ + intervalNanos_ * (decodingBehind ? 2 : 1);
    return presented_ && nowNanos < due ? due - nowNanos : 0;
  }
  void Presented(int64_t nowNanos) {
    lastNanos_ = nowNanos;
    presented_ = true;
  }

 private:
  int64_t intervalNanos_;
  int64_t lastNanos_ = 0;
  bool presented_ = false;
};

}  // namespace stv
