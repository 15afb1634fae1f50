#include "secure/openssl_channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "common/byte_order.h"
#include "device_binding_message.h"
#include "secure/agent_tls_peer.h"
#include "support/child_process.h"
#include "support/wire.h"
#include "transport/tcp_transport.h"

namespace stv::agent {
namespace {

using testing::AgentTlsPeer;
using testing::Bytes;
using testing::MakeFrame;
using Clock = std::chrono::steady_clock;

constexpr auto kShortIdle = std::chrono::milliseconds(300);
constexpr int kPatienceMs = static_cast<int>(std::chrono::milliseconds(testing::kPatience).count());
constexpr char kNoBinding[] = "the client sent no device binding";
constexpr char kBadSignature[] =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";
constexpr char kClosedDuringHandshake[] = "the peer closed during the TLS handshake";
constexpr char kHandshakeFailure[] = "InitializeSecurityContext failed (0x";

Bytes AsBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

bool ReadExact(sim::Connection& connection, std::span<uint8_t> bytes, const sim::StopFlag& stop) {
  return sim::ReceiveExact(connection, bytes.data(), bytes.size(), stop, kPatienceMs) == sim::IoStatus::kData;
}

class OpenSslChannelTest : public ::testing::Test {
 protected:
  static std::string DeviceId() { return ComputeDeviceId(device_->publicPoint()); }
  static Bytes Binding(std::span<const uint8_t> certificate = tls_.certificateDer()) {
    return *sim::BuildDeviceBinding(*device_, certificate, {}, sim::Fault::kNone);
  }

  // A connection that completes the handshake and sends a good binding, then runs `script`.
  static void ServeBound(AgentTlsPeer& peer, std::function<void(sim::Connection&)> script) {
    peer.Start([&peer, script = std::move(script)](sim::Socket& socket) {
      auto c = peer.Accept(socket);
      if (c && c->Send(Binding(), peer.stop())) script(*c);
    });
  }

  // A socket to the server and a channel over it that gives up on silence quickly.
  struct Client {
    explicit Client(uint16_t port) : socket(Connect(port)), channel(socket, kShortIdle) {}
    ~Client() { ::close(socket); }
    static int Connect(uint16_t port) {
      std::string error;
      const int socket = ConnectTcp("127.0.0.1", port, error);
      if (socket >= 0) ApplySessionSocketOptions(socket);
      return socket;
    }
    // The handshake's error text; empty when it succeeded.
    std::string Handshake() {
      std::string error;
      return channel.Handshake(DeviceId(), false, error) ? "" : error;
    }
    int socket;
    OpenSslChannel channel;
  };

  // One agent TLS server and device key for the whole suite, never freed.
  static inline sim::TlsServer& tls_ = []() -> sim::TlsServer& {
    std::string error;
    return *sim::TlsServer::Create(error).release();
  }();
  static inline const sim::DeviceKey* device_ = sim::DeviceKey::Generate().release();
};

TEST_F(OpenSslChannelTest, TransportPinsTheDeviceSendsTheTokenAndCarriesFrames) {
  AgentTlsPeer server(tls_);
  const Bytes video = testing::Pattern(70000, 7);  // spans several records
  Bytes token;
  Bytes fromClient(8);
  ServeBound(server, [&](sim::Connection& c) {
    for (const Bytes& part : {MakeFrame(1, video), MakeFrame(0, AsBytes("{}"))}) c.Send(part, server.stop());
    uint8_t length[2];
    if (!ReadExact(c, length, server.stop())) return;
    token.resize(ReadU16Be(length));
    if (!ReadExact(c, token, server.stop()) || !ReadExact(c, fromClient, server.stop())) fromClient.clear();
  });

  TcpTransport::Security security;
  security.token = "secret-token";
  security.pin = DeviceId();
  std::string error;
  auto transport = TcpTransport::Connect("127.0.0.1", server.port(), security, error);
  ASSERT_TRUE(transport) << error;
  EXPECT_EQ(transport->Peer(), "127.0.0.1:" + std::to_string(server.port()) + " (" + DeviceId() + ")");

  testing::Inbox inbox;
  transport->Start(inbox.Handler());
  ASSERT_TRUE(inbox.WaitFor(2));
  EXPECT_EQ(inbox.Messages(),
            (std::vector<testing::Inbox::Message>{{Channel::Video, video}, {Channel::Control, AsBytes("{}")}}));
  transport->Send(Channel::Control, std::string_view("abc"));
  server.Join();
  EXPECT_EQ(token, AsBytes("secret-token"));
  EXPECT_EQ(fromClient, MakeFrame(0, AsBytes("abc")));
  transport->Close();
}

// Each verdict of the binding check has its own unit test and end-to-end test; here, that a
// failure reaches the caller and withholds the token, and that the channel feeds the check
// this connection's certificate and bytes.
TEST_F(OpenSslChannelTest, BindingFailuresEndTheConnectionBeforeTheToken) {
  struct Case {
    const char* name;
    Bytes sent;      // after the handshake
    bool thenClose;  // with a close notification right after
    std::string pin;
    std::string error;
  };
  const Bytes binding = Binding();
  const std::string other = ComputeDeviceId(sim::DeviceKey::Generate()->publicPoint());
  const Case cases[] = {
      {"wrong pin", binding, false, other,
       "device id mismatch: expected " + other + ", the machine that answered is " + DeviceId()},
      {"replayed under another certificate", Binding(sim::MakeUnrelatedCertificateDer()), false, DeviceId(),
       kBadSignature},
      {"closed before the binding", {}, true, DeviceId(), kNoBinding},
      {"closed inside the binding", Bytes(binding.begin(), binding.begin() + 70), true, DeviceId(), kNoBinding},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AgentTlsPeer server(tls_);
    size_t tokenBytes = 1;
    server.Start([&](sim::Socket& socket) {
      auto connection = server.Accept(socket);
      if (!connection || !connection->Send(c.sent, server.stop())) return;
      if (c.thenClose) connection->Close();
      tokenBytes = testing::Drain(*connection, server.stop());
    });
    TcpTransport::Security security;
    security.pin = c.pin;
    security.token = "never-sent";
    std::string error;
    EXPECT_FALSE(TcpTransport::Connect("127.0.0.1", server.port(), security, error));
    EXPECT_EQ(error, c.error);
    server.Join();
    EXPECT_EQ(tokenBytes, 0u);
  }
}

TEST_F(OpenSslChannelTest, HandshakeFailuresAndSilenceHaveTheirOwnTexts) {
  struct Case {
    const char* name;
    sim::TlsServer& tls;
    std::function<void(AgentTlsPeer&, sim::Socket&)> script;
    std::string error;    // a prefix for the status errors
    bool silent = false;  // the server goes quiet until the client leaves: the client waits out its idle limit
  };
  const Bytes binding = Binding();
  const auto acceptOnly = [](AgentTlsPeer& s, sim::Socket& socket) { s.Accept(socket); };
  std::string serverError;
  const auto tls13 = sim::TlsServer::Create(serverError, {0x0304, 0x0304});
  const auto tls10 = sim::TlsServer::Create(serverError, {0x0301, 0x0302});
  ASSERT_TRUE(tls13 && tls10) << serverError;
  const Case cases[] = {
      {"silent server", tls_,
       [](AgentTlsPeer& s, sim::Socket& socket) {
         testing::Drain(*sim::MakePlainConnection(std::move(socket)), s.stop());
       },
       kClosedDuringHandshake, true},
      {"closed halfway through the server's flight", tls_,
       [](AgentTlsPeer& s, sim::Socket& socket) {
         auto raw = sim::MakePlainConnection(std::move(socket));
         testing::MemoryTlsSession session(tls_.context());
         session.Handshake(*raw, s.stop(), true);
         const Bytes flight = session.TakeSealed();
         raw->Send(std::span(flight).first(flight.size() / 2), s.stop());
       },
       kClosedDuringHandshake},
      {"not TLS at all", tls_,
       [](AgentTlsPeer& s, sim::Socket& socket) {
         auto raw = sim::MakePlainConnection(std::move(socket));
         uint8_t hello[1];
         if (!ReadExact(*raw, hello, s.stop())) return;
         raw->Send(AsBytes("HTTP/1.1 400 Bad Request\r\n\r\n"), s.stop());
         testing::Drain(*raw, s.stop());
       },
       kHandshakeFailure},
      {"TLS 1.3 only", *tls13, acceptOnly, kHandshakeFailure},
      {"TLS 1.0 and 1.1 only", *tls10, acceptOnly, kHandshakeFailure},
      {"silent after the handshake", tls_,
       [](AgentTlsPeer& s, sim::Socket& socket) {
         if (auto c = s.Accept(socket)) testing::Drain(*c, s.stop());
       },
       kNoBinding, true},
      {"silent inside the binding", tls_,
       [&](AgentTlsPeer& s, sim::Socket& socket) {
         auto c = s.Accept(socket);
         if (c && c->Send(std::span(binding).first(50), s.stop())) testing::Drain(*c, s.stop());
       },
       kNoBinding, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AgentTlsPeer server(c.tls);
    server.Start([&](sim::Socket& socket) { c.script(server, socket); });
    Client client(server.port());
    const auto start = Clock::now();
    const std::string error = client.Handshake();
    EXPECT_EQ(c.error == kHandshakeFailure ? error.substr(0, c.error.size()) : error, c.error);
    if (c.silent) {
      // Given up on the client's own idle limit, not once the server gave up and left.
      EXPECT_GE(Clock::now() - start, kShortIdle);
      EXPECT_FALSE(server.ScriptDone());
    }
  }

  AgentTlsPeer server(tls_);
  server.Start(
      [&](sim::Socket& socket) { testing::Drain(*sim::MakePlainConnection(std::move(socket)), server.stop()); });
  Client unwritable(server.port());
  ::shutdown(unwritable.socket, SHUT_WR);
  EXPECT_EQ(unwritable.Handshake(), "the peer closed while the TLS handshake was being sent");
}

TEST_F(OpenSslChannelTest, RecordsLeftOverFromTheHandshakeAreReadFirst) {
  const Bytes frame = MakeFrame(1, testing::Pattern(300, 3));
  AgentTlsPeer server(tls_);
  server.Start([&](sim::Socket& socket) {
    // The final flight, the binding and a frame leave in one segment.
    auto raw = sim::MakePlainConnection(std::move(socket));
    testing::MemoryTlsSession session(tls_.context());
    session.Handshake(*raw, server.stop(), false);
    for (const Bytes& data : {Binding(), frame}) session.Seal(data);
    raw->Send(session.TakeSealed(), server.stop());
    testing::Drain(*raw, server.stop());
  });
  Client client(server.port());
  ASSERT_EQ(client.Handshake(), "");
  EXPECT_EQ(testing::UnreadBytes(client.socket), 0);  // the frame is already inside the channel
  Bytes received(frame.size());
  ASSERT_TRUE(client.channel.ReceiveExact(received.data(), received.size()));
  EXPECT_EQ(received, frame);
}

TEST_F(OpenSslChannelTest, SealsFullRecordsReadsAcrossRecordsAndEndsWithCloseNotify) {
  const Bytes message = testing::Pattern(40000, 4);
  std::vector<int> recordSizes;
  Bytes received;
  sim::IoStatus last = sim::IoStatus::kData;
  AgentTlsPeer server(tls_);
  ServeBound(server, [&](sim::Connection& c) {
    uint8_t buffer[65536];
    // One receive opens one record at most.
    for (size_t n = 0; received.size() < message.size();) {
      const sim::IoStatus status = c.Receive(buffer, sizeof buffer, kPatienceMs, n);
      if (status != sim::IoStatus::kData) break;
      recordSizes.push_back(static_cast<int>(n));
      received.insert(received.end(), buffer, buffer + n);
    }
    for (const char* record : {"ab", "cde", "fghij"}) c.Send(AsBytes(record), server.stop());
    c.Close();
    // Closed only by a close notification: a bare end of the stream is an error.
    last = sim::ReceiveExact(c, buffer, 1, server.stop(), kPatienceMs);
  });
  Client client(server.port());
  ASSERT_EQ(client.Handshake(), "");
  ASSERT_TRUE(client.channel.Send(message.data(), message.size()));
  EXPECT_TRUE(client.channel.Send(nullptr, 0));
  uint8_t buffer[10] = {};
  EXPECT_TRUE(client.channel.ReceiveExact(buffer, 0));
  // Reads that cut across record boundaries.
  ASSERT_TRUE(client.channel.ReceiveExact(buffer, 1));
  ASSERT_TRUE(client.channel.ReceiveExact(buffer + 1, 5));
  ASSERT_TRUE(client.channel.ReceiveExact(buffer + 6, 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 10), "abcdefghij");
  EXPECT_FALSE(client.channel.ReceiveExact(buffer, 1));
  client.channel.Shutdown();
  server.Join();
  EXPECT_EQ(recordSizes, (std::vector<int>{16384, 16384, 7232}));
  EXPECT_EQ(received, message);
  EXPECT_EQ(last, sim::IoStatus::kClosed);
  // As in the transport's close: the socket is already down, the send fails quietly.
  ::shutdown(client.socket, SHUT_RDWR);
  client.channel.Shutdown();
}

TEST_F(OpenSslChannelTest, FramesComeWholeFromRecordsThatArriveInPieces) {
  // A frame header and its payload read separately, as the transport reads them, while the
  // ciphertext under them arrives cut mid-header, mid-record and across records.
  const Bytes message = testing::Pattern(40000, 5);
  AgentTlsPeer server(tls_);
  Client client(server.port());
  server.Start([&, clientSocket = client.socket](sim::Socket& socket) {
    auto raw = sim::MakePlainConnection(std::move(socket));
    testing::MemoryTlsSession session(tls_.context());
    session.Handshake(*raw, server.stop(), false);
    session.Seal(Binding());
    raw->Send(session.TakeSealed(), server.stop());
    session.Seal(message);
    const Bytes ciphertext = session.TakeSealed();
    for (size_t sent = 0; size_t piece : {size_t{3}, size_t{20000}, size_t{1}, ciphertext.size()}) {
      piece = std::min(piece, ciphertext.size() - sent);
      raw->Send(std::span(ciphertext).subspan(sent, piece), server.stop());
      sent += piece;
      // The next piece once the client has taken this one, so that each arrives on its own.
      testing::PollUntil([&] { return testing::UnreadBytes(clientSocket) <= 0; });
    }
    testing::Drain(*raw, server.stop());
  });
  ASSERT_EQ(client.Handshake(), "");
  Bytes received(message.size());
  size_t at = 0;
  // Frames of a 5-byte header and a 16 KiB payload straddle the 16 KiB records under them.
  for (size_t part : {size_t{5}, size_t{16384}, size_t{5}, size_t{16384}, size_t{7222}}) {
    ASSERT_TRUE(client.channel.ReceiveExact(received.data() + at, part)) << "at " << at;
    at += part;
  }
  EXPECT_EQ(received, message);
  ::shutdown(client.socket, SHUT_RDWR);
  server.Join();
}

TEST_F(OpenSslChannelTest, SendBeforeTheHandshakeIsRefusedWithAWarning) {
  OpenSslChannel channel(kInvalidSocket);
  const uint8_t byte = 1;
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(channel.Send(&byte, 1));
  EXPECT_NE(::testing::internal::GetCapturedStdout().find(" WRN [tls] the stream sizes are unset; refusing to send\n"),
            std::string::npos);
  channel.Shutdown();  // nothing to end
}

TEST_F(OpenSslChannelTest, BytesThatNeverFormARecordEndTheReceive) {
  Bytes oversized = {0x17, 0x03, 0x03, 0x48, 0x01};  // longer than any TLS 1.2 record may be
  oversized.resize(5 + 0x4801, 0xAA);
  for (const Bytes& junk : {testing::Pattern(100000, 9), oversized}) {
    AgentTlsPeer server(tls_);
    ServeBound(server, [&](sim::Connection& c) {
      sim::SendOnSocket(c.fd(), junk, server.stop());
      testing::Drain(c, server.stop());
    });
    Client client(server.port());
    ASSERT_EQ(client.Handshake(), "");
    uint8_t byte = 0;
    EXPECT_FALSE(client.channel.ReceiveExact(&byte, 1));
  }
}

TEST_F(OpenSslChannelTest, InterruptReleasesABlockedReceive) {
  AgentTlsPeer server(tls_);
  ServeBound(server, [&](sim::Connection& c) { testing::Drain(c, server.stop()); });
  Client client(server.port());
  ASSERT_EQ(client.Handshake(), "");
  auto blocked = std::async(std::launch::async, [&] {
    uint8_t byte = 0;
    return client.channel.ReceiveExact(&byte, 1);
  });
  // Silence well past the idle limit and several receive time-outs, which the receive must sit out.
  EXPECT_EQ(blocked.wait_for(std::chrono::seconds(1)), std::future_status::timeout);
  client.channel.Interrupt();
  EXPECT_FALSE(blocked.get());  // else it ends only once the server gives up on the silence and leaves
  EXPECT_FALSE(server.ScriptDone()) << "the receive ended with the server, not at the interrupt";
  uint8_t byte = 0;
  EXPECT_FALSE(client.channel.ReceiveExact(&byte, 1));
}

TEST_F(OpenSslChannelTest, StreamsBothWaysAtOnce) {
  // The server echoes while the client's writer and reader run at once on one channel. The
  // reader asks for more than has been sent, so a read that blocks the writer deadlocks here.
  constexpr size_t kTotal = 6 << 20;
  AgentTlsPeer server(tls_);
  ServeBound(server, [&](sim::Connection& c) {
    uint8_t buffer[16384];
    for (size_t echoed = 0, n = 0; echoed < kTotal; echoed += n) {
      if (c.Receive(buffer, sizeof buffer, kPatienceMs, n) != sim::IoStatus::kData ||
          !c.Send(std::span<const uint8_t>(buffer, n), server.stop())) {
        break;
      }
    }
  });
  Client client(server.port());
  ASSERT_EQ(client.Handshake(), "");

  const Bytes data = testing::Pattern(kTotal, 5);
  auto writer = std::async(std::launch::async, [&] {
    for (size_t offset = 0, step = 1; offset < data.size(); ++step) {
      const size_t size = std::min(data.size() - offset, (step * 7919) % 100000 + 1);
      if (!client.channel.Send(data.data() + offset, size)) return false;
      offset += size;
    }
    return true;
  });
  Bytes received(data.size());
  auto reader = std::async(std::launch::async, [&] {
    for (size_t offset = 0, step = 1; offset < received.size(); ++step) {
      const size_t size = std::min(received.size() - offset, (step * 104729) % 70000 + 1);
      if (!client.channel.ReceiveExact(received.data() + offset, size)) return false;
      offset += size;
    }
    return true;
  });
  const bool finished = reader.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!finished) {
    client.channel.Interrupt();
    ::shutdown(client.socket, SHUT_RDWR);  // a writer stuck in send
  }
  EXPECT_TRUE(finished) << "the two directions stalled each other";
  EXPECT_TRUE(reader.get());
  EXPECT_TRUE(writer.get());
  EXPECT_TRUE(received == data);
}

}  // namespace
}  // namespace stv::agent
