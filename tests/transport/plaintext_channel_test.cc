#include <gtest/gtest.h>

#include <thread>

#include "loopback_peer.h"
#include "secure/secure_channel.h"

namespace stv::agent {
namespace {

using stv::testing::LoopbackPeer;
using namespace std::chrono_literals;

class PlaintextChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    socket_ = ConnectTcp("127.0.0.1", peer_.port(), error);
    ASSERT_NE(socket_, kInvalidSocket) << error;
    ApplySessionSocketOptions(socket_);
    ASSERT_TRUE(peer_.Accept());
  }
  void TearDown() override {
    if (socket_ != kInvalidSocket) CloseSocket(socket_);
  }

  LoopbackPeer peer_;
  SocketHandle socket_ = kInvalidSocket;
};

TEST_F(PlaintextChannelTest, ReceiveExactGathersPiecesAndFailsOnEarlyClose) {
  PlaintextChannel channel(socket_);
  EXPECT_EQ(channel.Describe(), "plaintext");
  EXPECT_TRUE(channel.ReceiveExact(nullptr, 0));

  std::thread writer([&] {
    peer_.Write({1, 2});
    std::this_thread::sleep_for(300ms);  // longer than the receive time-out: a retry, not an error
    peer_.Write({3});
    std::this_thread::sleep_for(20ms);
    peer_.Write({4, 5, 6, 7});
    peer_.CloseConnection();
  });
  uint8_t header[5] = {};
  ASSERT_TRUE(channel.ReceiveExact(header, 5));
  EXPECT_EQ(std::vector<uint8_t>(header, header + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_FALSE(channel.ReceiveExact(header, 5));  // only 2 more bytes, then the close
  writer.join();
}

TEST_F(PlaintextChannelTest, InterruptStopsAWaitingReceive) {
  PlaintextChannel channel(socket_);
  uint8_t byte;
  std::thread interrupter([&] {
    std::this_thread::sleep_for(100ms);
    channel.Interrupt();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(channel.ReceiveExact(&byte, 1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  interrupter.join();
  peer_.Write({42});
  EXPECT_FALSE(channel.ReceiveExact(&byte, 1));  // stays interrupted, even with data waiting
}

TEST_F(PlaintextChannelTest, RawReceiveAppendsToWhatIsBuffered) {
  std::vector<uint8_t> buffer = {9, 9};
  std::atomic<bool> interrupted{false};
  peer_.Write({1, 2, 3});
  ASSERT_TRUE(RawReceive(socket_, buffer, interrupted));
  EXPECT_EQ(buffer, (std::vector<uint8_t>{9, 9, 1, 2, 3}));
  interrupted = true;
  EXPECT_FALSE(RawReceive(socket_, buffer, interrupted));
  EXPECT_EQ(buffer.size(), 5u);
}

}  // namespace
}  // namespace stv::agent
