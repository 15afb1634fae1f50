#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "secure/secure_channel.h"
#include "support/loopback_peer.h"
#include "support/wire.h"

namespace stv::agent {
namespace {

using stv::testing::PollUntil;
using stv::testing::UnreadBytes;

class PlaintextChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    socket_ = ConnectTcp("127.0.0.1", peer_.port(), error);
    ASSERT_NE(socket_, kInvalidSocket) << error;
    ApplySessionSocketOptions(socket_);
    ASSERT_TRUE(peer_.Accept());
  }
  void TearDown() override { CloseSocket(socket_); }

  stv::testing::LoopbackPeer peer_;
  SocketHandle socket_ = kInvalidSocket;
};

TEST_F(PlaintextChannelTest, ReceiveExactGathersPiecesAndFailsOnEarlyClose) {
  PlaintextChannel channel(socket_);
  EXPECT_TRUE(channel.ReceiveExact(nullptr, 0));
  std::thread writer([&] {
    peer_.Write({1, 2});
    PollUntil([&] { return UnreadBytes(socket_) == 0; });  // the receive holds them and waits for more
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kReceiveTimeoutMs));  // a retry, not an error
    peer_.Write({3});
    PollUntil([&] { return UnreadBytes(socket_) == 0; });
    peer_.Write({4, 5, 6, 7});
    peer_.CloseConnection();
  });
  uint8_t header[5] = {};
  EXPECT_TRUE(channel.ReceiveExact(header, 5));  // not ASSERT: the writer must be joined
  EXPECT_EQ(std::vector<uint8_t>(header, header + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_FALSE(channel.ReceiveExact(header, 5));  // only 2 more bytes, then the close
  writer.join();
}

TEST_F(PlaintextChannelTest, ReadsOfEverySizeKeepTheStreamInOrder) {
  // Small reads come out of the read-ahead buffer, large ones go around it; the boundaries
  // between the two must not lose, repeat or reorder a byte.
  std::vector<uint8_t> stream(600000);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::thread writer([&] {
    peer_.Write(stream);
    peer_.CloseConnection();  // so a lost byte ends the reads in a failure, not a wait
  });
  PlaintextChannel channel(socket_);
  std::vector<uint8_t> received;
  const size_t sizes[] = {5, 3, 65535, 65536, 1, 100000, 7, 8, 65537, 4000};
  for (size_t i = 0; received.size() < stream.size(); ++i) {
    const size_t size = std::min(sizes[i % std::size(sizes)], stream.size() - received.size());
    std::vector<uint8_t> part(size);
    if (!channel.ReceiveExact(part.data(), size)) break;  // not ASSERT: the writer must be joined
    received.insert(received.end(), part.begin(), part.end());
  }
  writer.join();
  EXPECT_TRUE(received == stream);
}

TEST_F(PlaintextChannelTest, InterruptStopsAWaitingReceive) {
  PlaintextChannel channel(socket_);
  std::vector<uint8_t> buffer(8 << 20);
  auto receive = std::async(std::launch::async, [&] { return channel.ReceiveExact(buffer.data(), buffer.size()); });
  // More than the socket buffers hold: once written, the receive is inside and waits for the last byte.
  EXPECT_TRUE(peer_.Write(std::vector<uint8_t>(buffer.size() - 1)));
  channel.Interrupt();
  const bool stopped = receive.wait_for(stv::testing::kPatience) == std::future_status::ready;
  if (!stopped) peer_.CloseConnection();  // the only other way out for the receive
  EXPECT_TRUE(stopped) << "the interrupt went unnoticed";
  EXPECT_FALSE(receive.get());
  peer_.Write({42});
  EXPECT_FALSE(channel.ReceiveExact(buffer.data(), 1));  // stays interrupted, even with data waiting
}

TEST_F(PlaintextChannelTest, ASingleByteGoesOutAndRawReceiveAppendsToWhatIsBuffered) {
  const uint8_t one = 7;
  EXPECT_TRUE(PlaintextChannel(socket_).Send(&one, 1));  // one byte written is a whole send
  EXPECT_EQ(peer_.Read(1), std::vector<uint8_t>{7});
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
