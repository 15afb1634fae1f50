#include "window/repaint_coalescer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace stv {
namespace {

TEST(RepaintCoalescerTest, QueuesOnceUntilTaken) {
  RepaintCoalescer repaints;
  EXPECT_TRUE(repaints.Request());
  EXPECT_FALSE(repaints.Request());
  EXPECT_FALSE(repaints.Request());
  repaints.Take();
  EXPECT_TRUE(repaints.Request());
}

TEST(RepaintCoalescerTest, FailedQueueingIsRetriedByTheNextRequest) {
  RepaintCoalescer repaints;
  EXPECT_TRUE(repaints.Request());
  repaints.QueueFailed();
  EXPECT_TRUE(repaints.Request());
}

// A reader changing the picture as fast as it can and a window thread painting: never
// more than one repaint waits, and the last change is always painted.
TEST(RepaintCoalescerTest, FastStreamNeverQueuesMoreThanOneAndLosesNoChange) {
  constexpr int kChanges = 100000;
  RepaintCoalescer repaints;
  std::mutex pictureMutex;
  int picture = 0;
  std::atomic<int> queued{0};
  std::atomic<int> mostQueued{0};
  std::atomic<bool> done{false};

  std::thread reader([&] {
    for (int change = 1; change <= kChanges; ++change) {
      {
        std::lock_guard<std::mutex> lock(pictureMutex);
        picture = change;
      }
      if (repaints.Request()) {
        const int now = queued.fetch_add(1) + 1;
        int most = mostQueued.load();
        while (now > most && !mostQueued.compare_exchange_weak(most, now)) {
        }
      }
    }
    done = true;
  });

  int painted = 0;
  int paints = 0;
  for (;;) {
    const bool finished = done.load();
    if (queued.load() > 0) {
      queued.fetch_sub(1);
      repaints.Take();
      std::lock_guard<std::mutex> lock(pictureMutex);
      painted = picture;
      ++paints;
    } else if (finished) {
      break;
    } else {
      std::this_thread::yield();
    }
  }
  reader.join();
  EXPECT_EQ(mostQueued.load(), 1);
  EXPECT_EQ(painted, kChanges);
  EXPECT_LE(paints, kChanges);
}

}  // namespace
}  // namespace stv
