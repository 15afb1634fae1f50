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

}  // namespace
}  // namespace stv
