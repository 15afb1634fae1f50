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
  Bytes largest(kMaxFramePayload);
  for (size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<uint8_t>(i * 7);
  sent.emplace_back(Channel::Video, std::move(largest));
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
  struct Case {
    const char* name;
    Bytes bytes;
    bool malformed;  // else the peer closes after the bytes
  };
  Bytes cut = MakeFrame(1, Bytes(100, 9));
  cut.resize(50);
  const Case cases[] = {
      {"channel 4", {4, 0, 0, 0, 1}, true},
      {"length 0", {0, 0, 0, 0, 0}, true},
      {"8,388,609 bytes", {1, 0x00, 0x80, 0x00, 0x01}, true},
      {"closed mid-payload", cut, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPeer peer;
    ASSERT_NO_FATAL_FAILURE(Connect(peer));
    ::testing::internal::CaptureStdout();
    transport_->Start(inbox_.Handler());
    ASSERT_TRUE(peer.Write(c.bytes));
    if (!c.malformed) peer.CloseConnection();
    EXPECT_TRUE(stv::testing::PollUntil([&] { return !transport_->IsOpen(); }));
    transport_->Send(Channel::Control, std::string("late"));
    transport_->Close();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find(" WRN [transport] malformed frame header; closing the session\n") != std::string::npos,
              c.malformed)
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
  // Had the empty or the oversized message gone out, it would come before this frame, which
  // is also large enough to need many partial sends.
  Bytes big(3 * 1048576 + 17);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i % 251);
  transport_->Send(Channel::Video, big);
  const Bytes frame = peer_.Read(5 + big.size());
  EXPECT_TRUE(frame == MakeFrame(1, big));  // not EXPECT_EQ: no 3 MiB dump on failure
}

TEST_F(TransportTest, SendNeverWaitsForAStalledPeer) {
  // The window's thread queues input while the peer has stopped reading. Queuing must stay
  // instant while the writer waits on the socket, or the window would freeze with the network.
  ASSERT_NO_FATAL_FAILURE(Connect(peer_));
  transport_->Start(inbox_.Handler());
  transport_->Send(Channel::Video, std::string(kMaxFramePayload, 'v'));  // far more than the socket buffers hold
  // The first byte is out, so the writer is inside a send that cannot end while the peer reads no more.
  ASSERT_EQ(peer_.Read(1).size(), 1u);
  auto input = std::async(std::launch::async, [&] {
    for (int i = 0; i < 100; ++i) transport_->Send(Channel::Control, std::string("pointer"));
  });
  const bool prompt = input.wait_for(kPatience) == std::future_status::ready;
  transport_->Close();  // frees the writer, and with it anything waiting behind it
  EXPECT_TRUE(prompt) << "Send waited for the stalled writer";
}

TEST_F(TransportTest, CloseInterruptsABlockedReaderAndIsIdempotent) {
  ASSERT_NO_FATAL_FAILURE(Connect(peer_));
  transport_->Start(inbox_.Handler());
  // Once a frame larger than the socket buffers is written but for one byte, the reader waits inside it.
  Bytes cut = MakeFrame(1, Bytes(kMaxFramePayload));
  cut.pop_back();
  ASSERT_TRUE(peer_.Write(cut));
  auto closing = std::async(std::launch::async, [&] { transport_->Close(); });
  const bool closed = closing.wait_for(kPatience) == std::future_status::ready;
  if (!closed) peer_.CloseConnection();  // the only other way out for the reader
  EXPECT_TRUE(closed) << "Close waited for the silent peer";
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

  uint16_t closedPort;
  {
    LoopbackPeer peer;  // a port that was just free and is closed again
    closedPort = peer.port();
  }
  EXPECT_FALSE(TcpTransport::Connect("127.0.0.1", closedPort, security, error));
  EXPECT_EQ(error, "connect failed (WSA 111)");
}

}  // namespace
}  // namespace stv::agent
