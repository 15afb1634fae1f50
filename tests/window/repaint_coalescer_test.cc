#include "window/repaint_coalescer.h"

#include <gtest/gtest.h>

namespace stv {
namespace {

TEST(RepaintCoalescerTest, QueuesOnceUntilTakenAndRetriesAFailedQueueing) {
  RepaintCoalescer repaints;
  EXPECT_TRUE(repaints.Request());
  EXPECT_FALSE(repaints.Request());  // however many tiles follow
  repaints.Take();
  EXPECT_TRUE(repaints.Request());
  repaints.QueueFailed();
  EXPECT_TRUE(repaints.Request());
}

TEST(PresentPacerTest, OnePresentPerRefreshIntervalOrTwoWhileDecodingIsBehind) {
  PresentPacer pacer(50);             // 20 ms
  EXPECT_EQ(pacer.WaitBefore(5), 0);  // the first present never waits
  pacer.Presented(1000);
  EXPECT_EQ(pacer.WaitBefore(1000), 20000000);
  EXPECT_EQ(pacer.WaitBefore(20000999), 1);
  EXPECT_EQ(pacer.WaitBefore(20001000), 0);
  EXPECT_EQ(pacer.WaitBefore(20001000, true), 20000000);  // decoders behind: every other refresh
  EXPECT_EQ(pacer.WaitBefore(40001000, true), 0);
  for (int hz : {0, -60, 100000}) {
    PresentPacer fallback(hz);
    fallback.Presented(0);
    EXPECT_EQ(fallback.WaitBefore(0), 1000000000 / PresentPacer::kDefaultRefreshHz) << hz;
  }
}

}  // namespace
}  // namespace stv
