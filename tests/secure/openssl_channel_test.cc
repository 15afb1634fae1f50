#include "secure/openssl_channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "device_binding_message.h"
#include "secure/agent_tls_peer.h"
#include "support/child_process.h"
#include "support/wire.h"
#include "transport/tcp_transport.h"

namespace stv::agent {
namespace {

using testing::AgentTlsPeer;
using testing::Bytes;

constexpr auto kShortIdle = std::chrono::milliseconds(300);
constexpr int kPatienceMs = static_cast<int>(std::chrono::milliseconds(testing::kPatience).count());

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
    explicit Client(uint16_t port) : socket(ConnectTcp("127.0.0.1", port, connectError)), channel(socket, kShortIdle) {
      ApplySessionSocketOptions(socket);
    }
    ~Client() { ::close(socket); }
    std::string Handshake() {  // empty when it succeeded
      std::string error;
      return channel.Handshake(DeviceId(), false, error) ? "" : error;
    }
    std::string connectError;
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

// The verdicts themselves are unit-tested; here, that the check reads this connection's
// certificate, and that a failed check or an overlong token reaches the caller and sends no token.
TEST_F(OpenSslChannelTest, ABindingForAnotherCertificateOrAnOverlongTokenSendsNoToken) {
  const std::tuple<Bytes, std::string, std::string> cases[] = {
      {Binding(sim::MakeUnrelatedCertificateDer()), "never-sent",
       "the device binding signature is invalid: the machine that answered does not hold the key it claims"},
      {Binding(), std::string(129, 't'), "could not send the session token"},
  };
  for (const auto& [bindingBytes, token, expected] : cases) {
    const Bytes& binding = bindingBytes;  // clang 14 lambdas cannot capture a structured binding
    AgentTlsPeer server(tls_);
    size_t tokenBytes = 1;
    server.Start([&](sim::Socket& socket) {
      auto connection = server.Accept(socket);
      if (connection && connection->Send(binding, server.stop()))
        tokenBytes = testing::Drain(*connection, server.stop());
    });
    TcpTransport::Security security;
    security.pin = DeviceId();
    security.token = token;
    std::string error;
    EXPECT_FALSE(TcpTransport::Connect("127.0.0.1", server.port(), security, error));
    EXPECT_EQ(error, expected);
    server.Join();
    EXPECT_EQ(tokenBytes, 0u);
  }
}

TEST_F(OpenSslChannelTest, HandshakeFailuresAndSilenceHaveTheirOwnTexts) {
  const auto silent = [](AgentTlsPeer& s, sim::Socket& socket) {
    testing::Drain(*sim::MakePlainConnection(std::move(socket)), s.stop());
  };
  AgentTlsPeer silentServer(tls_);
  silentServer.Start([&](sim::Socket& socket) { silent(silentServer, socket); });
  const auto start = std::chrono::steady_clock::now();
  Client waiting(silentServer.port());
  EXPECT_EQ(waiting.Handshake(), "the peer closed during the TLS handshake");
  // Given up on the client's own idle limit, not once the server gave up and left.
  EXPECT_GE(std::chrono::steady_clock::now() - start, kShortIdle);
  EXPECT_FALSE(silentServer.ScriptDone());
  // Only TLS 1.2 is spoken.
  for (const sim::TlsVersions versions : {sim::TlsVersions{0x0304, 0x0304}, sim::TlsVersions{0x0301, 0x0302}}) {
    std::string error;
    const auto tls = sim::TlsServer::Create(error, versions);
    ASSERT_TRUE(tls) << error;
    AgentTlsPeer server(*tls);
    server.Start([&](sim::Socket& socket) { server.Accept(socket); });
    EXPECT_TRUE(Client(server.port()).Handshake().starts_with("InitializeSecurityContext failed (0x"));
  }
  AgentTlsPeer server(tls_);
  server.Start([&](sim::Socket& socket) { silent(server, socket); });
  Client unwritable(server.port());
  ::shutdown(unwritable.socket, SHUT_WR);
  EXPECT_EQ(unwritable.Handshake(), "the peer closed while the TLS handshake was being sent");
}

TEST_F(OpenSslChannelTest, FramesComeWholeFromRecordsThatArriveWithTheHandshakeOrInPieces) {
  // The binding leaves with the final flight, so it is read from what the handshake left over;
  // then frames over ciphertext cut mid-header, mid-record and across records; then a record
  // longer than TLS allows.
  const Bytes message = testing::Pattern(40000, 5);
  Bytes oversized = {0x17, 0x03, 0x03, 0x48, 0x01};
  oversized.resize(5 + 0x4801, 0xAA);
  AgentTlsPeer server(tls_);
  Client client(server.port());
  server.Start([&, clientSocket = client.socket](sim::Socket& socket) {
    auto raw = sim::MakePlainConnection(std::move(socket));
    testing::MemoryTlsSession session(tls_.context());
    session.Handshake(*raw, server.stop());
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
    raw->Send(oversized, server.stop());
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
  EXPECT_FALSE(client.channel.ReceiveExact(received.data(), 1));
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

TEST_F(OpenSslChannelTest, StreamsBothWaysInFullRecordsReadsAcrossRecordsAndEndsWithCloseNotify) {
  // The server echoes while the client's writer and reader run at once on one channel: a read
  // that blocks the writer deadlocks here. Then three small records, then silence until the
  // client leaves, which must be by a close notification: a bare end of the stream is an error.
  const Bytes data = testing::Pattern((6 << 20) + 7232, 5);
  std::vector<size_t> recordSizes;
  sim::IoStatus last = sim::IoStatus::kData;
  AgentTlsPeer server(tls_);
  ServeBound(server, [&](sim::Connection& c) {
    uint8_t buffer[65536];
    // One receive opens one record at most.
    for (size_t echoed = 0, n = 0; echoed < data.size(); echoed += n) {
      if (c.Receive(buffer, sizeof buffer, kPatienceMs, n) != sim::IoStatus::kData ||
          !c.Send(std::span<const uint8_t>(buffer, n), server.stop())) {
        break;
      }
      recordSizes.push_back(n);
    }
    for (std::string_view record : {"ab", "cde", "fghij"}) c.Send(Bytes(record.begin(), record.end()), server.stop());
    last = sim::ReceiveExact(c, buffer, 1, server.stop(), kPatienceMs);
  });
  Client client(server.port());
  ASSERT_EQ(client.Handshake(), "");
  EXPECT_TRUE(client.channel.Send(nullptr, 0));
  EXPECT_TRUE(client.channel.ReceiveExact(nullptr, 0));
  Bytes received(data.size());
  auto writer = std::async(std::launch::async, [&] { return client.channel.Send(data.data(), data.size()); });
  auto reader =
      std::async(std::launch::async, [&] { return client.channel.ReceiveExact(received.data(), received.size()); });
  const bool finished = reader.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!finished) {
    client.channel.Interrupt();
    ::shutdown(client.socket, SHUT_RDWR);  // a writer stuck in send
  }
  ASSERT_TRUE(finished) << "the two directions stalled each other";
  EXPECT_TRUE(reader.get() && writer.get());
  EXPECT_TRUE(received == data);

  uint8_t buffer[10] = {};
  ASSERT_TRUE(client.channel.ReceiveExact(buffer, 1));
  ASSERT_TRUE(client.channel.ReceiveExact(buffer + 1, 5));
  ASSERT_TRUE(client.channel.ReceiveExact(buffer + 6, 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 10), "abcdefghij");
  auto blocked = std::async(std::launch::async, [&] { return client.channel.ReceiveExact(buffer, 1); });
  // Silence well past the idle limit and several receive time-outs, which the receive must sit out.
  EXPECT_EQ(blocked.wait_for(std::chrono::seconds(1)), std::future_status::timeout);
  client.channel.Interrupt();
  EXPECT_FALSE(blocked.get());  // else it ends only once the server gives up on the silence and leaves
  EXPECT_FALSE(server.ScriptDone()) << "the receive ended with the server, not at the interrupt";
  EXPECT_FALSE(client.channel.ReceiveExact(buffer, 1));
  client.channel.Shutdown();
  server.Join();
  EXPECT_EQ(last, sim::IoStatus::kClosed);
  ASSERT_EQ(recordSizes.size(), 385u);
  EXPECT_EQ(std::count(recordSizes.begin(), recordSizes.end(), 16384u), 384);
  EXPECT_EQ(recordSizes.back(), 7232u);
}

}  // namespace
}  // namespace stv::agent
