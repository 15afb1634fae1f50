#include "secure/openssl_channel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "tls/openssl_test_peer.h"
#include "transport/tcp_transport.h"

namespace stv::agent {
namespace {

using testing::Bytes;
using testing::ServerConnection;
using testing::TlsTestServer;
using Clock = std::chrono::steady_clock;

constexpr auto kShortIdle = std::chrono::milliseconds(300);
constexpr char kNoBinding[] = "the client sent no device binding";
constexpr char kBadSignature[] =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";
constexpr char kClosedDuringHandshake[] = "the peer closed during the TLS handshake";

Bytes AsBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Reads plaintext until the client goes away; returns how many bytes came.
size_t DrainUntilClosed(ServerConnection& connection) {
  uint8_t buffer[16384];
  size_t total = 0;
  int n = 0;
  while ((n = connection.ReadSome(buffer, sizeof buffer)) > 0) total += static_cast<size_t>(n);
  return total;
}

// Reads raw bytes until the client goes away or goes quiet for the socket's time-out.
size_t DrainRawUntilClosed(int socket) {
  uint8_t buffer[4096];
  size_t total = 0;
  ssize_t n = 0;
  while ((n = ::recv(socket, buffer, sizeof buffer, 0)) > 0) total += static_cast<size_t>(n);
  return total;
}

class OpenSslChannelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    identity_ = new testing::TlsIdentity(testing::TlsIdentity::Generate("agent"));
    otherIdentity_ = new testing::TlsIdentity(testing::TlsIdentity::Generate("impostor"));
    device_ = new testing::DeviceKey(testing::DeviceKey::Generate());
  }
  static void TearDownTestSuite() {
    delete identity_;
    delete otherIdentity_;
    delete device_;
  }

  static std::string DeviceId() { return ComputeDeviceId(device_->PublicPoint()); }
  static Bytes Binding() { return testing::SignedBinding(*device_, identity_->certificateDer); }
  static testing::ServerOptions Options() { return {identity_, 0x0303, 0x0303}; }

  // A client socket to `server` and a channel over it that gives up on silence quickly.
  struct Client {
    explicit Client(uint16_t port) : socket(testing::ConnectLoopback(port)), channel(socket, kShortIdle) {}
    ~Client() {
      if (socket >= 0) ::close(socket);
    }
    int socket;
    OpenSslChannel channel;
  };

  static testing::TlsIdentity* identity_;
  static testing::TlsIdentity* otherIdentity_;
  static testing::DeviceKey* device_;
};

testing::TlsIdentity* OpenSslChannelTest::identity_ = nullptr;
testing::TlsIdentity* OpenSslChannelTest::otherIdentity_ = nullptr;
testing::DeviceKey* OpenSslChannelTest::device_ = nullptr;

// Collects what the transport's reader delivers.
class Inbox {
 public:
  void Add(Channel channel, std::vector<uint8_t>&& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.emplace_back(channel, std::move(payload));
    arrived_.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return messages_.size() >= count; });
  }
  std::vector<std::pair<Channel, Bytes>> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::pair<Channel, Bytes>> messages_;
};

TEST_F(OpenSslChannelTest, TransportPinsTheDeviceSendsTheTokenAndCarriesFrames) {
  TlsTestServer server(Options());
  const Bytes video = testing::Pattern(70000, 7);  // spans several records
  Bytes token;
  Bytes fromClient(8);
  server.Start([&](ServerConnection& c) {
    if (!c.Accept()) return;
    c.Write(Concat({Binding(), testing::MakeFrame(1, video), testing::MakeFrame(0, AsBytes("{}"))}));
    uint8_t length[2];
    if (!c.ReadExact(length)) return;
    token.resize(size_t{length[0]} << 8 | length[1]);
    if (!c.ReadExact(token)) return;
    if (!c.ReadExact(fromClient)) fromClient.clear();
  });

  TcpTransport::Security security;
  security.token = "secret-token";
  security.pin = DeviceId();
  std::string error;
  auto transport = TcpTransport::Connect("127.0.0.1", server.port(), security, error);
  ASSERT_TRUE(transport) << error;
  EXPECT_EQ(transport->Peer(), "127.0.0.1:" + std::to_string(server.port()) + " (" + DeviceId() + ")");

  Inbox inbox;
  transport->Start([&inbox](Channel channel, std::vector<uint8_t>&& payload) { inbox.Add(channel, std::move(payload)); });
  ASSERT_TRUE(inbox.WaitFor(2));
  const auto messages = inbox.Messages();
  EXPECT_EQ(messages[0].first, Channel::Video);
  EXPECT_EQ(messages[0].second, video);
  EXPECT_EQ(messages[1].first, Channel::Control);
  EXPECT_EQ(messages[1].second, AsBytes("{}"));

  transport->Send(Channel::Control, std::string_view("abc"));
  server.Join();
  EXPECT_EQ(token, AsBytes("secret-token"));
  EXPECT_EQ(fromClient, testing::MakeFrame(0, AsBytes("abc")));
  transport->Close();
}

TEST_F(OpenSslChannelTest, InsecureNoPinConnectsWithTheWarningLine) {
  TlsTestServer server(Options());
  server.Start([&](ServerConnection& c) {
    if (c.Accept() && c.Write(Binding())) DrainUntilClosed(c);
  });
  TcpTransport::Security security;
  security.insecureNoPin = true;
  std::string error;
  ::testing::internal::CaptureStdout();
  auto transport = TcpTransport::Connect("127.0.0.1", server.port(), security, error);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(transport) << error;
  EXPECT_NE(printed.find(" WRN [tls] NOT PINNED: connected to device " + DeviceId() +
                         " without verifying it was the expected one\n"),
            std::string::npos)
      << printed;
  EXPECT_NE(printed.find(" INF [transport] sending the session token (0 bytes)\n"), std::string::npos) << printed;
  transport->Close();
}

struct BindingCase {
  const char* name;
  Bytes sent;        // what the server sends after the handshake
  bool thenClose;    // close the TLS session right after
  std::string pin;
  std::string error;
};

TEST_F(OpenSslChannelTest, BindingFailuresEndTheConnectionBeforeTheToken) {
  const Bytes key = device_->PublicPoint();
  const Bytes digest = testing::Sha256Of(identity_->certificateDer);
  std::string upper = DeviceId();
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
  const std::string otherId = ComputeDeviceId(testing::DeviceKey::Generate().PublicPoint());
  Bytes longKey = {0x01, 0x2c};
  longKey.resize(2 + 300 + 66, 0x04);
  const std::string mismatch = ", the machine that answered is " + DeviceId();
  const Bytes binding = Binding();

  const BindingCase cases[] = {
      {"wrong pin", Binding(), false, otherId, "device id mismatch: expected " + otherId + mismatch},
      {"upper-case pin", Binding(), false, upper, "device id mismatch: expected " + upper + mismatch},
      {"replayed under another certificate", testing::SignedBinding(*device_, otherIdentity_->certificateDer), false,
       DeviceId(), kBadSignature},
      {"compressed key", testing::EncodeBinding(device_->CompressedPoint(), device_->SignRaw(digest)), false,
       DeviceId(), kBadSignature},
      {"DER signature", testing::EncodeBinding(key, device_->SignDer(digest)), false, DeviceId(), kBadSignature},
      {"key length 300", longKey, false, DeviceId(), kNoBinding},
      {"no pin", Binding(), false, "",
       "no device id to pin against (pass --pin <deviceId>, or --insecure-no-pin)"},
      {"closed before the binding", {}, true, DeviceId(), kNoBinding},
      {"closed inside the binding", Bytes(binding.begin(), binding.begin() + 70), true, DeviceId(), kNoBinding},
  };
  for (const BindingCase& c : cases) {
    SCOPED_TRACE(c.name);
    TlsTestServer server(Options());
    size_t tokenBytes = 1;
    server.Start([&](ServerConnection& connection) {
      if (!connection.Accept() || !connection.Write(c.sent)) return;
      if (c.thenClose) connection.CloseNotify();
      tokenBytes = DrainUntilClosed(connection);
    });
    TcpTransport::Security security;
    security.pin = c.pin;
    security.token = "never-sent";
    std::string error;
    auto transport = TcpTransport::Connect("127.0.0.1", server.port(), security, error);
    EXPECT_FALSE(transport);
    EXPECT_EQ(error, c.error);
    server.Join();
    EXPECT_EQ(tokenBytes, 0u);
  }
}

TEST_F(OpenSslChannelTest, SilentServerAfterTheHandshakeIsAMissingBinding) {
  const Bytes binding = Binding();
  for (const Bytes& partial : {Bytes(), Bytes(binding.begin(), binding.begin() + 50)}) {
    TlsTestServer server(Options());
    server.Start([&](ServerConnection& c) {
      if (c.Accept() && c.Write(partial)) DrainUntilClosed(c);
    });
    Client client(server.port());
    std::string error;
    const auto start = Clock::now();
    EXPECT_FALSE(client.channel.Handshake(DeviceId(), false, error));
    const auto waited = Clock::now() - start;
    EXPECT_EQ(error, kNoBinding);
    EXPECT_GE(waited, kShortIdle);
    EXPECT_LT(waited, std::chrono::seconds(3));
  }
}

TEST_F(OpenSslChannelTest, SilentServerDuringTheHandshakeGivesUp) {
  TlsTestServer server(Options());
  server.Start([](ServerConnection& c) { DrainRawUntilClosed(c.socket()); });
  Client client(server.port());
  std::string error;
  const auto start = Clock::now();
  EXPECT_FALSE(client.channel.Handshake(DeviceId(), false, error));
  EXPECT_EQ(error, kClosedDuringHandshake);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

TEST_F(OpenSslChannelTest, ServerClosingMidHandshake) {
  // Closes once the client hello is in, or halfway through its own first flight.
  for (bool sendHalfAFlight : {false, true}) {
    TlsTestServer server(Options());
    server.Start([&](ServerConnection& c) {
      SSL* ssl = SSL_new(server.context());
      BIO* in = BIO_new(BIO_s_mem());
      BIO* out = BIO_new(BIO_s_mem());
      SSL_set_bio(ssl, in, out);
      SSL_set_accept_state(ssl);
      uint8_t buffer[4096];
      while (SSL_do_handshake(ssl) != 1 && BIO_ctrl_pending(out) == 0) {
        const ssize_t n = ::recv(c.socket(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        BIO_write(in, buffer, static_cast<int>(n));
      }
      if (sendHalfAFlight) {
        const int half = static_cast<int>(BIO_ctrl_pending(out) / 2);
        Bytes flight(static_cast<size_t>(half));
        BIO_read(out, flight.data(), half);
        ::send(c.socket(), flight.data(), flight.size(), MSG_NOSIGNAL);
      }
      SSL_free(ssl);
      c.Close();
    });
    Client client(server.port());
    std::string error;
    EXPECT_FALSE(client.channel.Handshake(DeviceId(), false, error));
    EXPECT_EQ(error, kClosedDuringHandshake) << (sendHalfAFlight ? "half a flight" : "after the client hello");
  }
}

TEST_F(OpenSslChannelTest, ServersWithoutTls12AreRefused) {
  const std::pair<int, int> ranges[] = {{0x0304, 0x0304}, {0x0301, 0x0302}, {0x0301, 0x0301}};
  for (const auto& [minVersion, maxVersion] : ranges) {
    SCOPED_TRACE(::testing::Message() << std::hex << minVersion << ".." << maxVersion);
    TlsTestServer server({identity_, minVersion, maxVersion});
    server.Start([](ServerConnection& c) { c.Accept(); });
    Client client(server.port());
    std::string error;
    EXPECT_FALSE(client.channel.Handshake(DeviceId(), false, error));
    EXPECT_EQ(error.rfind("InitializeSecurityContext failed (0x", 0), 0u) << error;
  }
}

TEST_F(OpenSslChannelTest, NonTlsAnswerIsAHandshakeFailure) {
  TlsTestServer server(Options());
  server.Start([](ServerConnection& c) {
    uint8_t hello[512];
    if (::recv(c.socket(), hello, sizeof hello, 0) <= 0) return;
    const char reply[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
    ::send(c.socket(), reply, sizeof reply - 1, MSG_NOSIGNAL);
    DrainRawUntilClosed(c.socket());
  });
  Client client(server.port());
  std::string error;
  EXPECT_FALSE(client.channel.Handshake(DeviceId(), false, error));
  EXPECT_EQ(error.rfind("InitializeSecurityContext failed (0x", 0), 0u) << error;
}

TEST_F(OpenSslChannelTest, UnwritableSocketFailsWhileSendingTheHandshake) {
  TlsTestServer server(Options());
  server.Start([](ServerConnection& c) { DrainRawUntilClosed(c.socket()); });
  Client client(server.port());
  ::shutdown(client.socket, SHUT_WR);
  std::string error;
  EXPECT_FALSE(client.channel.Handshake(DeviceId(), false, error));
  EXPECT_EQ(error, "the peer closed while the TLS handshake was being sent");
}

TEST_F(OpenSslChannelTest, RecordsLeftOverFromTheHandshakeAreReadFirst) {
  const Bytes frame = testing::MakeFrame(1, testing::Pattern(300, 3));
  TlsTestServer server(Options());
  server.Start([&](ServerConnection& c) {
    // Memory BIOs let the final flight, the binding and a frame leave in one send.
    SSL* ssl = SSL_new(server.context());
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_accept_state(ssl);
    uint8_t buffer[16384];
    for (;;) {
      const int result = SSL_do_handshake(ssl);
      if (result == 1) break;
      if (SSL_get_error(ssl, result) != SSL_ERROR_WANT_READ) break;
      const int pending = BIO_read(out, buffer, sizeof buffer);
      if (pending > 0) ::send(c.socket(), buffer, static_cast<size_t>(pending), MSG_NOSIGNAL);
      const ssize_t n = ::recv(c.socket(), buffer, sizeof buffer, 0);
      if (n <= 0) break;
      BIO_write(in, buffer, static_cast<int>(n));
    }
    const Bytes data = Concat({Binding(), frame});
    SSL_write(ssl, data.data(), static_cast<int>(data.size()));
    const int length = BIO_read(out, buffer, sizeof buffer);
    if (length > 0) ::send(c.socket(), buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    DrainRawUntilClosed(c.socket());
    SSL_free(ssl);
  });
  Client client(server.port());
  std::string error;
  ASSERT_TRUE(client.channel.Handshake(DeviceId(), false, error)) << error;
  int unread = -1;
  ASSERT_EQ(::ioctl(client.socket, FIONREAD, &unread), 0);
  EXPECT_EQ(unread, 0);  // everything already came in with the handshake
  Bytes received(frame.size());
  ASSERT_TRUE(client.channel.ReceiveExact(received.data(), received.size()));
  EXPECT_EQ(received, frame);
}

TEST_F(OpenSslChannelTest, SendSealsOneRecordPerMaximumSizedChunk) {
  const Bytes message = testing::Pattern(40000, 4);
  std::vector<int> recordSizes;
  Bytes received;
  TlsTestServer server(Options());
  server.Start([&](ServerConnection& c) {
    if (!c.Accept() || !c.Write(Binding())) return;
    uint8_t buffer[65536];
    while (received.size() < message.size()) {
      // Without read-ahead, each SSL_read returns the plaintext of one record at most.
      const int n = c.ReadSome(buffer, sizeof buffer);
      if (n <= 0) break;
      recordSizes.push_back(n);
      received.insert(received.end(), buffer, buffer + n);
    }
  });
  Client client(server.port());
  std::string error;
  ASSERT_TRUE(client.channel.Handshake(DeviceId(), false, error)) << error;
  EXPECT_EQ(client.channel.Describe(), DeviceId());
  ASSERT_TRUE(client.channel.Send(message.data(), message.size()));
  EXPECT_TRUE(client.channel.Send(nullptr, 0));
  server.Join();
  EXPECT_EQ(recordSizes, (std::vector<int>{16384, 16384, 7232}));
  EXPECT_EQ(received, message);
}

TEST_F(OpenSslChannelTest, SendBeforeTheHandshakeIsRefusedWithAWarning) {
  OpenSslChannel channel(kInvalidSocket);
  const uint8_t byte = 1;
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(channel.Send(&byte, 1));
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find(" WRN [tls] the stream sizes are unset; refusing to send\n"), std::string::npos) << printed;
  channel.Shutdown();  // nothing to end; must not touch the socket
  EXPECT_EQ(channel.Describe(), "");
}

TEST_F(OpenSslChannelTest, DecryptedBytesAreHandedOutAcrossCallsUntilCloseNotify) {
  TlsTestServer server(Options());
  server.Start([&](ServerConnection& c) {
    if (!c.Accept() || !c.Write(Binding())) return;
    // Three records; the reads below cut across their boundaries.
    for (const char* piece : {"ab", "cde", "fghij"}) c.Write(AsBytes(piece));
    c.CloseNotify();
    DrainUntilClosed(c);
  });
  Client client(server.port());
  std::string error;
  ASSERT_TRUE(client.channel.Handshake(DeviceId(), false, error)) << error;
  uint8_t buffer[10] = {};
  EXPECT_TRUE(client.channel.ReceiveExact(buffer, 0));
  ASSERT_TRUE(client.channel.ReceiveExact(buffer, 1));
  ASSERT_TRUE(client.channel.ReceiveExact(buffer + 1, 5));
  ASSERT_TRUE(client.channel.ReceiveExact(buffer + 6, 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 10), "abcdefghij");
  EXPECT_FALSE(client.channel.ReceiveExact(buffer, 1));
}

TEST_F(OpenSslChannelTest, BytesThatNeverFormARecordEndTheReceive) {
  Bytes oversized = {0x17, 0x03, 0x03, 0x48, 0x01};  // longer than any TLS 1.2 record
  oversized.resize(5 + 0x4801, 0xAA);
  for (const Bytes& junk : {testing::Pattern(100000, 9), oversized}) {
    TlsTestServer server(Options());
    server.Start([&](ServerConnection& c) {
      if (!c.Accept() || !c.Write(Binding())) return;
      ::send(c.socket(), junk.data(), junk.size(), MSG_NOSIGNAL);
      DrainRawUntilClosed(c.socket());
    });
    Client client(server.port());
    std::string error;
    ASSERT_TRUE(client.channel.Handshake(DeviceId(), false, error)) << error;
    uint8_t byte = 0;
    EXPECT_FALSE(client.channel.ReceiveExact(&byte, 1));
  }
}

TEST_F(OpenSslChannelTest, InterruptReleasesABlockedReceiveWithinATimeOut) {
  TlsTestServer server(Options());
  server.Start([&](ServerConnection& c) {
    if (c.Accept() && c.Write(Binding())) DrainUntilClosed(c);
  });
  Client client(server.port());
  std::string error;
  ASSERT_TRUE(client.channel.Handshake(DeviceId(), false, error)) << error;
  auto blocked = std::async(std::launch::async, [&] {
    uint8_t byte = 0;
    return client.channel.ReceiveExact(&byte, 1);
  });
  EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(400)), std::future_status::timeout);
  const auto interrupted = Clock::now();
  client.channel.Interrupt();
  ASSERT_EQ(blocked.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_FALSE(blocked.get());
  EXPECT_LT(Clock::now() - interrupted, std::chrono::milliseconds(1500));
  uint8_t byte = 0;
  EXPECT_FALSE(client.channel.ReceiveExact(&byte, 1));
}

TEST_F(OpenSslChannelTest, ShutdownSendsTheCloseNotification) {
  int lastRead = 1;
  int lastError = SSL_ERROR_NONE;
  TlsTestServer server(Options());
  server.Start([&](ServerConnection& c) {
    if (!c.Accept() || !c.Write(Binding())) return;
    uint8_t byte;
    lastRead = c.ReadSome(&byte, 1);
    lastError = SSL_get_error(c.ssl(), lastRead);
  });
  Client client(server.port());
  std::string error;
  ASSERT_TRUE(client.channel.Handshake(DeviceId(), false, error)) << error;
  client.channel.Shutdown();
  server.Join();
  EXPECT_EQ(lastRead, 0);
  EXPECT_EQ(lastError, SSL_ERROR_ZERO_RETURN);
  // Once the socket is gone, a second Shutdown fails quietly (and raises no SIGPIPE).
  ::shutdown(client.socket, SHUT_RDWR);
  client.channel.Shutdown();
}

TEST_F(OpenSslChannelTest, ABlockedReadNeverStallsAWrite) {
  // The server speaks only when spoken to, so the reader is always waiting on an idle
  // socket when the writer seals its request.
  constexpr int kRounds = 5;
  TlsTestServer server(Options());
  server.Start([&](ServerConnection& c) {
    if (!c.Accept() || !c.Write(Binding())) return;
    uint8_t request[4];
    for (int round = 0; round < kRounds && c.ReadExact(request); ++round) c.Write(request);
  });
  Client client(server.port());
  std::string error;
  ASSERT_TRUE(client.channel.Handshake(DeviceId(), false, error)) << error;
  auto reader = std::async(std::launch::async, [&] {
    Bytes replies(4 * kRounds);
    return client.channel.ReceiveExact(replies.data(), replies.size()) ? replies : Bytes();
  });
  Bytes requests;
  for (int round = 0; round < kRounds; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(round == 0 ? 300 : 20));
    const Bytes request = testing::Pattern(4, static_cast<uint32_t>(round));
    requests.insert(requests.end(), request.begin(), request.end());
    auto write = std::async(std::launch::async, [&] { return client.channel.Send(request.data(), request.size()); });
    const bool prompt = write.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (!prompt) {
      client.channel.Interrupt();  // releases the reader, and with it the writer
      write.wait();
    }
    ASSERT_TRUE(prompt) << "the write waited for the blocked read";
    ASSERT_TRUE(write.get());
  }
  EXPECT_EQ(reader.get(), requests);
}

TEST_F(OpenSslChannelTest, StreamsBothWaysAtOnce) {
  // The server echoes; the client's writer and reader run concurrently on one channel.
  // If a blocked read could stall a write, both sides would wedge and the watchdog fires.
  constexpr size_t kTotal = 6 << 20;
  TlsTestServer server(Options());
  server.Start([&](ServerConnection& c) {
    if (!c.Accept() || !c.Write(Binding())) return;
    uint8_t buffer[16384];
    size_t echoed = 0;
    while (echoed < kTotal) {
      const int n = c.ReadSome(buffer, sizeof buffer);
      if (n <= 0 || !c.Write(std::span<const uint8_t>(buffer, static_cast<size_t>(n)))) break;
      echoed += static_cast<size_t>(n);
    }
  });
  Client client(server.port());
  std::string error;
  ASSERT_TRUE(client.channel.Handshake(DeviceId(), false, error)) << error;

  const Bytes data = testing::Pattern(kTotal, 5);
  auto writer = std::async(std::launch::async, [&] {
    size_t offset = 0;
    for (size_t step = 1; offset < data.size(); ++step) {
      const size_t size = std::min(data.size() - offset, (step * 7919) % 100000 + 1);
      if (!client.channel.Send(data.data() + offset, size)) return false;
      offset += size;
    }
    return true;
  });
  auto reader = std::async(std::launch::async, [&] {
    Bytes received(data.size());
    size_t offset = 0;
    for (size_t step = 1; offset < received.size(); ++step) {
      const size_t size = std::min(received.size() - offset, (step * 104729) % 70000 + 1);
      if (!client.channel.ReceiveExact(received.data() + offset, size)) break;
      offset += size;
    }
    received.resize(offset);
    return received;
  });
  const bool finished = reader.wait_for(std::chrono::seconds(60)) == std::future_status::ready &&
                        writer.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!finished) {
    client.channel.Interrupt();
    ::shutdown(client.socket, SHUT_RDWR);
  }
  EXPECT_TRUE(finished) << "the two directions stalled each other";
  EXPECT_TRUE(writer.get());
  const Bytes received = reader.get();
  EXPECT_TRUE(received == data) << "received " << received.size() << " of " << data.size() << " bytes";
}

}  // namespace
}  // namespace stv::agent
