#include "secure/openssl_channel.h"

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "support/wire.h"
#include "tls/openssl_test_peer.h"
#include "transport/tcp_transport.h"

namespace stv::agent {
namespace {

using testing::Bytes;
using testing::MakeFrame;
using testing::ServerConnection;
using testing::TlsTestServer;
using Clock = std::chrono::steady_clock;

constexpr auto kShortIdle = std::chrono::milliseconds(300);
constexpr char kNoBinding[] = "the client sent no device binding";
constexpr char kBadSignature[] =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";
constexpr char kClosedDuringHandshake[] = "the peer closed during the TLS handshake";
constexpr char kHandshakeFailure[] = "InitializeSecurityContext failed (0x";

Bytes AsBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

void DrainRaw(int socket) {
  uint8_t buffer[4096];
  while (::recv(socket, buffer, sizeof buffer, 0) > 0) {}
}

// A server-side SSL over memory BIOs, for scripts that decide what goes out in which segment.
// Runs the handshake to its end, leaving the final flight unsent in `out`, or with
// `stopAtFirstFlight` only until the first flight is ready. The caller frees the SSL.
SSL* MemoryHandshake(SSL_CTX* context, int socket, BIO** out, bool stopAtFirstFlight) {
  SSL* ssl = SSL_new(context);
  BIO* in = BIO_new(BIO_s_mem());
  *out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, *out);
  SSL_set_accept_state(ssl);
  uint8_t buffer[16384];
  while (SSL_do_handshake(ssl) != 1 && SSL_get_error(ssl, -1) != SSL_ERROR_SSL) {
    if (stopAtFirstFlight && BIO_ctrl_pending(*out) > 0) break;
    const int pending = BIO_read(*out, buffer, sizeof buffer);
    if (pending > 0) ::send(socket, buffer, static_cast<size_t>(pending), MSG_NOSIGNAL);
    const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    BIO_write(in, buffer, static_cast<int>(n));
  }
  return ssl;
}

class OpenSslChannelTest : public ::testing::Test {
 protected:
  static std::string DeviceId() { return ComputeDeviceId(device_->PublicPoint()); }
  static Bytes Binding() { return testing::SignedBinding(*device_, identity_->certificateDer); }

  // A server that completes the handshake and sends a good binding, then runs `script`.
  static void ServeBound(TlsTestServer& server, std::function<void(ServerConnection&)> script) {
    server.Start([script = std::move(script)](ServerConnection& c) {
      if (c.Accept() && c.Write(Binding())) script(c);
    });
  }

  // A socket to the server and a channel over it that gives up on silence quickly.
  struct Client {
    explicit Client(uint16_t port) : socket(testing::ConnectLoopback(port)), channel(socket, kShortIdle) {}
    ~Client() { ::close(socket); }
    // The handshake's error text; empty when it succeeded.
    std::string Handshake() {
      std::string error;
      return channel.Handshake(DeviceId(), false, error) ? "" : error;
    }
    int socket;
    OpenSslChannel channel;
  };

  // One server identity and device for the whole suite, never freed.
  static inline const testing::TlsIdentity* identity_ =
      new testing::TlsIdentity(testing::TlsIdentity::Generate("agent"));
  static inline const testing::DeviceKey* device_ = new testing::DeviceKey(testing::DeviceKey::Generate());
};

TEST_F(OpenSslChannelTest, TransportPinsTheDeviceSendsTheTokenAndCarriesFrames) {
  TlsTestServer server({identity_});
  const Bytes video = testing::Pattern(70000, 7);  // spans several records
  Bytes token;
  Bytes fromClient(8);
  server.Start([&](ServerConnection& c) {
    if (!c.Accept()) return;
    for (const Bytes& part : {Binding(), MakeFrame(1, video), MakeFrame(0, AsBytes("{}"))}) c.Write(part);
    uint8_t length[2];
    if (!c.ReadExact(length)) return;
    token.resize(size_t{length[0]} << 8 | length[1]);
    if (!c.ReadExact(token) || !c.ReadExact(fromClient)) fromClient.clear();
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
  const std::string other = ComputeDeviceId(testing::DeviceKey::Generate().PublicPoint());
  const Case cases[] = {
      {"wrong pin", binding, false, other,
       "device id mismatch: expected " + other + ", the machine that answered is " + DeviceId()},
      {"replayed under another certificate",
       testing::SignedBinding(*device_, testing::TlsIdentity::Generate("impostor").certificateDer), false, DeviceId(),
       kBadSignature},
      {"closed before the binding", {}, true, DeviceId(), kNoBinding},
      {"closed inside the binding", Bytes(binding.begin(), binding.begin() + 70), true, DeviceId(), kNoBinding},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsTestServer server({identity_});
    size_t tokenBytes = 1;
    server.Start([&](ServerConnection& connection) {
      if (!connection.Accept() || !connection.Write(c.sent)) return;
      if (c.thenClose) connection.CloseNotify();
      tokenBytes = connection.DrainUntilClosed();
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
    testing::ServerOptions options;
    std::function<void(TlsTestServer&, ServerConnection&)> script;
    std::string error;    // a prefix for the status errors
    bool silent = false;  // the server goes quiet until the client leaves: the client waits out its idle limit
  };
  const Bytes binding = Binding();
  const Case cases[] = {
      {"silent server",
       {identity_},
       [](TlsTestServer&, ServerConnection& c) { DrainRaw(c.socket()); },
       kClosedDuringHandshake,
       true},
      {"closed halfway through the server's flight",
       {identity_},
       [](TlsTestServer& s, ServerConnection& c) {
         BIO* out = nullptr;
         SSL* ssl = MemoryHandshake(s.context(), c.socket(), &out, true);
         Bytes half(BIO_ctrl_pending(out) / 2);
         BIO_read(out, half.data(), static_cast<int>(half.size()));
         ::send(c.socket(), half.data(), half.size(), MSG_NOSIGNAL);
         SSL_free(ssl);
         c.Close();
       },
       kClosedDuringHandshake},
      {"not TLS at all",
       {identity_},
       [](TlsTestServer&, ServerConnection& c) {
         uint8_t hello[512];
         ::recv(c.socket(), hello, sizeof hello, 0);
         ::send(c.socket(), "HTTP/1.1 400 Bad Request\r\n\r\n", 28, MSG_NOSIGNAL);
         DrainRaw(c.socket());
       },
       kHandshakeFailure},
      {"TLS 1.3 only",
       {identity_, 0x0304, 0x0304},
       [](TlsTestServer&, ServerConnection& c) { c.Accept(); },
       kHandshakeFailure},
      {"TLS 1.0 and 1.1 only",
       {identity_, 0x0301, 0x0302},
       [](TlsTestServer&, ServerConnection& c) { c.Accept(); },
       kHandshakeFailure},
      {"silent after the handshake",
       {identity_},
       [](TlsTestServer&, ServerConnection& c) {
         if (c.Accept()) c.DrainUntilClosed();
       },
       kNoBinding,
       true},
      {"silent inside the binding",
       {identity_},
       [&](TlsTestServer&, ServerConnection& c) {
         if (c.Accept() && c.Write(std::span(binding).first(50))) c.DrainUntilClosed();
       },
       kNoBinding,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsTestServer server(c.options);
    server.Start([&](ServerConnection& connection) { c.script(server, connection); });
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

  TlsTestServer server({identity_});
  server.Start([](ServerConnection& c) { DrainRaw(c.socket()); });
  Client unwritable(server.port());
  ::shutdown(unwritable.socket, SHUT_WR);
  EXPECT_EQ(unwritable.Handshake(), "the peer closed while the TLS handshake was being sent");
}

TEST_F(OpenSslChannelTest, RecordsLeftOverFromTheHandshakeAreReadFirst) {
  const Bytes frame = MakeFrame(1, testing::Pattern(300, 3));
  TlsTestServer server({identity_});
  server.Start([&](ServerConnection& c) {
    // The final flight, the binding and a frame leave in one segment.
    BIO* out = nullptr;
    SSL* ssl = MemoryHandshake(server.context(), c.socket(), &out, false);
    for (const Bytes& data : {Binding(), frame}) SSL_write(ssl, data.data(), static_cast<int>(data.size()));
    Bytes segment(BIO_ctrl_pending(out));
    BIO_read(out, segment.data(), static_cast<int>(segment.size()));
    ::send(c.socket(), segment.data(), segment.size(), MSG_NOSIGNAL);
    DrainRaw(c.socket());
    SSL_free(ssl);
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
  int lastError = SSL_ERROR_NONE;
  TlsTestServer server({identity_});
  ServeBound(server, [&](ServerConnection& c) {
    uint8_t buffer[65536];
    // Without read-ahead one SSL_read returns one record's plaintext at most.
    for (int n; received.size() < message.size() && (n = c.ReadSome(buffer, sizeof buffer)) > 0;) {
      recordSizes.push_back(n);
      received.insert(received.end(), buffer, buffer + n);
    }
    for (const char* record : {"ab", "cde", "fghij"}) c.Write(AsBytes(record));
    c.CloseNotify();
    lastError = SSL_get_error(c.ssl(), c.ReadSome(buffer, 1));
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
  EXPECT_EQ(lastError, SSL_ERROR_ZERO_RETURN);
  // As in the transport's close: the socket is already down, the send fails quietly.
  ::shutdown(client.socket, SHUT_RDWR);
  client.channel.Shutdown();
}

TEST_F(OpenSslChannelTest, FramesComeWholeFromRecordsThatArriveInPieces) {
  // A frame header and its payload read separately, as the transport reads them, while the
  // ciphertext under them arrives cut mid-header, mid-record and across records.
  const Bytes message = testing::Pattern(40000, 5);
  TlsTestServer server({identity_});
  Client client(server.port());
  ServeBound(server, [&, clientSocket = client.socket](ServerConnection& c) {
    BIO* sealed = BIO_new(BIO_s_mem());
    SSL_set0_wbio(c.ssl(), sealed);
    c.Write(message);
    Bytes ciphertext(BIO_ctrl_pending(sealed));
    BIO_read(sealed, ciphertext.data(), static_cast<int>(ciphertext.size()));
    size_t sent = 0;
    for (size_t piece : {size_t{3}, size_t{20000}, size_t{1}, ciphertext.size()}) {
      piece = std::min(piece, ciphertext.size() - sent);
      ::send(c.socket(), ciphertext.data() + sent, piece, MSG_NOSIGNAL);
      sent += piece;
      // The next piece once the client has taken this one, so that each arrives on its own.
      testing::PollUntil([&] { return testing::UnreadBytes(clientSocket) <= 0; });
    }
    DrainRaw(c.socket());
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
    TlsTestServer server({identity_});
    ServeBound(server, [&](ServerConnection& c) {
      ::send(c.socket(), junk.data(), junk.size(), MSG_NOSIGNAL);
      DrainRaw(c.socket());
    });
    Client client(server.port());
    ASSERT_EQ(client.Handshake(), "");
    uint8_t byte = 0;
    EXPECT_FALSE(client.channel.ReceiveExact(&byte, 1));
  }
}

TEST_F(OpenSslChannelTest, InterruptReleasesABlockedReceive) {
  TlsTestServer server({identity_});
  ServeBound(server, [](ServerConnection& c) { c.DrainUntilClosed(); });
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
  TlsTestServer server({identity_});
  ServeBound(server, [&](ServerConnection& c) {
    uint8_t buffer[16384];
    for (size_t echoed = 0; echoed < kTotal;) {
      const int n = c.ReadSome(buffer, sizeof buffer);
      if (n <= 0 || !c.Write(std::span<const uint8_t>(buffer, static_cast<size_t>(n)))) break;
      echoed += static_cast<size_t>(n);
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
