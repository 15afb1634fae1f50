#include "transport/tcp_transport.h"

#include <gtest/gtest.h>

#include <future>

#include "support/child_process.h"
#include "support/loopback_peer.h"
#include "support/wire.h"

namespace stv::agent {
namespace {

using stv::testing::Bytes;
using stv::testing::Inbox;
using stv::testing::kPatience;
using stv::testing::LoopbackPeer;
using stv::testing::MakeFrame;

class TransportTest : public ::testing::Test {
 protected:
  void Connect(LoopbackPeer& peer) {
    TcpTransport::Security security;
    security.plaintext = true;
    security.token = "never sent in plaintext";
    std::string error = "stale";
    transport_ = TcpTransport::Connect("127.0.0.1", peer.port(), security, error);
    ASSERT_TRUE(transport_) << error;
    EXPECT_EQ(error, "");
    ASSERT_TRUE(peer.Accept());
  }

  LoopbackPeer peer_;
  Inbox inbox_;
  std::unique_ptr<TcpTransport> transport_;
};

TEST_F(TransportTest, DeliversFramesOnEveryValidChannelInOrderUpToTheLargest) {
  ASSERT_NO_FATAL_FAILURE(Connect(peer_));
  EXPECT_EQ(transport_->Peer(), "127.0.0.1:" + std::to_string(peer_.port()));
  transport_->Start(inbox_.Handler());
  std::vector<Inbox::Message> sent;
  for (uint8_t channel : {0, 1, 2, 3, 1}) sent.emplace_back(static_cast<Channel>(channel), Bytes{channel, 'x'});
  sent.emplace_back(Channel::Video, testing::Pattern(kMaxFramePayload, 1));
  Bytes stream;
  for (const auto& [channel, payload] : sent) {
    const Bytes frame = MakeFrame(static_cast<uint8_t>(channel), payload);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  ASSERT_TRUE(peer_.Write(stream));  // the small frames share a segment: the reader must split it
  ASSERT_TRUE(inbox_.WaitFor(sent.size()));
  EXPECT_TRUE(inbox_.Messages() == sent);  // not EXPECT_EQ: no 8 MiB dump on failure
  EXPECT_TRUE(transport_->IsOpen());
}

// A bad header ends the session with a warning, a peer leaving mid-payload ends it quietly;
// either way nothing is delivered and a late Send is dropped.
TEST_F(TransportTest, BrokenStreamsEndTheSessionAndDeliverNothing) {
  Bytes cut = MakeFrame(1, Bytes(100, 9));
  cut.resize(50);
  const std::pair<Bytes, bool> cases[] = {
      {{4, 0, 0, 0, 1}, true},              // channel 4
      {{0, 0, 0, 0, 0}, true},              // length 0
      {{1, 0x00, 0x80, 0x00, 0x01}, true},  // 8,388,609 bytes
      {cut, false},                         // the peer closes mid-payload
  };
  for (const auto& [bytes, malformed] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes).substr(0, 30));
    LoopbackPeer peer;
    ASSERT_NO_FATAL_FAILURE(Connect(peer));
    ::testing::internal::CaptureStdout();
    transport_->Start(inbox_.Handler());
    ASSERT_TRUE(peer.Write(bytes));
    if (!malformed) peer.CloseConnection();
    EXPECT_TRUE(stv::testing::PollUntil([&] { return !transport_->IsOpen(); }));
    transport_->Send(Channel::Control, std::string("late"));
    transport_->Close();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find(" WRN [transport] malformed frame header; closing the session\n") != std::string::npos,
              malformed)
        << out;
    EXPECT_TRUE(inbox_.Messages().empty());
  }
}

TEST_F(TransportTest, FramesGoOutWholeWithControlFirst) {
  ASSERT_NO_FATAL_FAILURE(Connect(peer_));
  // Queued before the writer runs: the writer must drain channel 0 before channel 1.
  for (const char* text : {"v1", "v2"}) transport_->Send(Channel::Video, std::string_view(text));
  for (const char* text : {"c1", "c2"}) transport_->Send(Channel::Control, std::string_view(text));
  transport_->Send(Channel::Control, std::string_view());                    // empty: dropped
  transport_->Send(Channel::Video, std::string(kMaxFramePayload + 1, 'x'));  // too big: dropped
  transport_->Start(inbox_.Handler());
  Bytes expected;
  for (const auto& [channel, text] : {std::pair{0, "c1"}, {0, "c2"}, {1, "v1"}, {1, "v2"}}) {
    const Bytes frame = MakeFrame(static_cast<uint8_t>(channel), Bytes(text, text + 2));
    expected.insert(expected.end(), frame.begin(), frame.end());
  }
  EXPECT_EQ(peer_.Read(expected.size()), expected);
  // An empty or oversized message sent would come before this frame, which needs many partial sends.
  const Bytes big = testing::Pattern(3 * 1048576 + 17, 2);
  transport_->Send(Channel::Video, big);
  EXPECT_TRUE(peer_.Read(5 + big.size()) == MakeFrame(1, big));  // not EXPECT_EQ: no 3 MiB dump on failure
}

// The window's thread queues input while the peer has stopped reading, and closes while the
// reader waits inside a frame: neither may wait for the network, or the window would freeze.
TEST_F(TransportTest, NeitherSendNorCloseWaitsForAStalledPeer) {
  ASSERT_NO_FATAL_FAILURE(Connect(peer_));
  transport_->Start(inbox_.Handler());
  // A frame larger than the socket buffers written but for one byte: the reader waits inside it.
  Bytes cut = MakeFrame(1, Bytes(kMaxFramePayload));
  cut.pop_back();
  ASSERT_TRUE(peer_.Write(cut));
  transport_->Send(Channel::Video, std::string(kMaxFramePayload, 'v'));
  // The first byte is out, so the writer is inside a send that cannot end while the peer reads no more.
  ASSERT_EQ(peer_.Read(1).size(), 1u);
  auto input = std::async(std::launch::async, [&] {
    for (int i = 0; i < 100; ++i) transport_->Send(Channel::Control, std::string("pointer"));
  });
  EXPECT_EQ(input.wait_for(kPatience), std::future_status::ready) << "Send waited for the stalled writer";
  auto closing = std::async(std::launch::async, [&] { transport_->Close(); });
  const bool closed = closing.wait_for(kPatience) == std::future_status::ready;
  if (!closed) peer_.CloseConnection();  // the only other way out
  EXPECT_TRUE(closed) << "Close waited for the stalled peer";
  closing.get();
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
  const uint16_t closedPort = LoopbackPeer().port();  // was just free, and is closed again
  EXPECT_FALSE(TcpTransport::Connect("127.0.0.1", closedPort, security, error));
  EXPECT_EQ(error, "connect failed (WSA 111)");
}

}  // namespace
}  // namespace stv::agent
