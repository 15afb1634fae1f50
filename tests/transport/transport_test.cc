#include "transport/tcp_transport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/wire.h"
#include "transport/loopback_peer.h"

namespace stv::agent {
namespace {

using stv::testing::Inbox;
using stv::testing::LoopbackPeer;
using stv::testing::MakeFrame;
using namespace std::chrono_literals;

bool WaitUntilClosed(const TcpTransport& transport, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (transport.IsOpen()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class TransportTest : public ::testing::Test {
 protected:
  void Connect() {
    TcpTransport::Security security;
    security.plaintext = true;
    security.token = "never sent in plaintext";
    std::string error = "stale";
    transport_ = TcpTransport::Connect("127.0.0.1", peer_.port(), security, error);
    ASSERT_TRUE(transport_) << error;
    EXPECT_EQ(error, "");
    ASSERT_TRUE(peer_.Accept());
  }

  LoopbackPeer peer_;
  Inbox inbox_;
  std::unique_ptr<TcpTransport> transport_;
};

TEST_F(TransportTest, DeliversFramesOnEveryValidChannelInOrder) {
  Connect();
  EXPECT_EQ(transport_->Peer(), "127.0.0.1:" + std::to_string(peer_.port()));
  transport_->Start(inbox_.Handler());
  std::vector<uint8_t> stream;
  for (uint8_t channel : {0, 1, 2, 3, 1}) {
    const auto frame = MakeFrame(channel, std::vector<uint8_t>{channel, 'x'});
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  ASSERT_TRUE(peer_.Write(stream));  // all in one segment: the reader must split it
  ASSERT_TRUE(inbox_.WaitFor(5));
  const auto messages = inbox_.Messages();
  const uint8_t expected[] = {0, 1, 2, 3, 1};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(messages[i], std::make_pair(static_cast<Channel>(expected[i]), std::vector<uint8_t>{expected[i], 'x'}));
  }
  EXPECT_TRUE(transport_->IsOpen());
}

TEST_F(TransportTest, LargestFrameIsDeliveredWhole) {
  Connect();
  transport_->Start(inbox_.Handler());
  std::vector<uint8_t> payload(kMaxFramePayload);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(peer_.Write(MakeFrame(1, payload)));
  ASSERT_TRUE(inbox_.WaitFor(1, 10s));
  EXPECT_EQ(inbox_.Messages()[0].second, payload);
  EXPECT_TRUE(transport_->IsOpen());
}

TEST_F(TransportTest, MalformedHeadersEndTheSession) {
  const std::vector<std::vector<uint8_t>> headers = {
      {4, 0, 0, 0, 1},                // channel 4
      {0, 0, 0, 0, 0},                // length 0
      {1, 0x00, 0x80, 0x00, 0x01}};   // 8,388,609 bytes
  for (const auto& header : headers) {
    LoopbackPeer peer;
    Inbox inbox;
    TcpTransport::Security security;
    security.plaintext = true;
    std::string error;
    auto transport = TcpTransport::Connect("127.0.0.1", peer.port(), security, error);
    ASSERT_TRUE(transport) << error;
    ASSERT_TRUE(peer.Accept());
    ::testing::internal::CaptureStdout();
    transport->Start(inbox.Handler());
    ASSERT_TRUE(peer.Write(header));
    EXPECT_TRUE(WaitUntilClosed(*transport));
    transport->Close();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" WRN [transport] malformed frame header; closing the session\n"), std::string::npos) << out;
    EXPECT_TRUE(inbox.Messages().empty());
  }
}

TEST_F(TransportTest, PeerClosingMidPayloadDeliversNothing) {
  Connect();
  transport_->Start(inbox_.Handler());
  auto frame = MakeFrame(1, std::vector<uint8_t>(100, 9));
  frame.resize(50);
  ASSERT_TRUE(peer_.Write(frame));
  peer_.CloseConnection();
  EXPECT_TRUE(WaitUntilClosed(*transport_));
  EXPECT_TRUE(inbox_.Messages().empty());
}

TEST_F(TransportTest, FramesGoOutWholeWithControlFirst) {
  Connect();
  // Queued before the writer runs: the writer must drain channel 0 before channel 1.
  const std::string video[] = {"v1", "v2"};
  const std::string control[] = {"c1", "c2"};
  for (const auto& text : video) transport_->Send(Channel::Video, text);
  for (const auto& text : control) transport_->Send(Channel::Control, text);
  transport_->Send(Channel::Control, std::string_view());                         // empty: dropped
  transport_->Send(Channel::Video, std::string(kMaxFramePayload + 1, 'x'));  // too big: dropped
  transport_->Start(inbox_.Handler());

  std::vector<uint8_t> expected;
  for (const auto& [channel, text] : {std::pair{0, "c1"}, {0, "c2"}, {1, "v1"}, {1, "v2"}}) {
    const auto frame = MakeFrame(static_cast<uint8_t>(channel), std::vector<uint8_t>(text, text + 2));
    expected.insert(expected.end(), frame.begin(), frame.end());
  }
  EXPECT_EQ(peer_.Read(expected.size()), expected);
  EXPECT_TRUE(peer_.SilentFor(200));

  transport_->Send(Channel::Video, std::string("abc"));
  EXPECT_EQ(peer_.Read(8), (std::vector<uint8_t>{0x01, 0, 0, 0, 3, 'a', 'b', 'c'}));
}

TEST_F(TransportTest, NothingIsSentAfterThePeerClosed) {
  Connect();
  transport_->Start(inbox_.Handler());
  peer_.CloseConnection();
  ASSERT_TRUE(WaitUntilClosed(*transport_));
  transport_->Send(Channel::Control, std::string("late"));  // must be dropped quietly
  transport_->Close();
}

TEST_F(TransportTest, CloseInterruptsABlockedReaderQuicklyAndIsIdempotent) {
  Connect();
  transport_->Start(inbox_.Handler());
  std::this_thread::sleep_for(100ms);  // the reader is now waiting on a silent peer
  const auto start = std::chrono::steady_clock::now();
  transport_->Close();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 2s);  // a generous bound on "within one receive time-out"
  EXPECT_FALSE(transport_->IsOpen());
  transport_->Close();
  transport_.reset();  // destruction after Close does nothing more
}

TEST(TransportConnectTest, ReportsResolutionAndConnectionFailures) {
  TcpTransport::Security security;
  security.plaintext = true;
  std::string error;
  EXPECT_FALSE(TcpTransport::Connect("host.invalid", 7443, security, error));
  EXPECT_EQ(error.rfind("getaddrinfo failed (WSA ", 0), 0u) << error;

  uint16_t closedPort;
  {
    LoopbackPeer peer;  // a port that was just free and is closed again
    closedPort = peer.port();
  }
  EXPECT_FALSE(TcpTransport::Connect("127.0.0.1", closedPort, security, error));
  EXPECT_EQ(error, "connect failed (WSA 111)");
}

TEST(FrameHeaderTest, EncodesAndValidates) {
  EXPECT_EQ(EncodeFrameHeader(Channel::Video, 0x01020304), (std::array<uint8_t, 5>{1, 1, 2, 3, 4}));
  const std::array<uint8_t, 5> max = {3, 0x00, 0x80, 0x00, 0x00};
  ASSERT_TRUE(DecodeFrameHeader(max));
  EXPECT_EQ(DecodeFrameHeader(max)->length, kMaxFramePayload);
  EXPECT_EQ(static_cast<int>(DecodeFrameHeader(max)->channel), 3);
  EXPECT_FALSE(DecodeFrameHeader(std::array<uint8_t, 5>{255, 0, 0, 0, 1}));
}

}  // namespace
}  // namespace stv::agent
