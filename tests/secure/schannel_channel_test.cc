// What a misbehaving server can do to the Schannel handshake, played by a Winsock peer.
#include "secure/schannel_channel.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <string_view>
#include <thread>

namespace stv::agent {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::string_view_literals;
constexpr auto kShortIdle = std::chrono::milliseconds(300);

// One connection on 127.0.0.1: reads the client hello, sends `reply`, then closes at once
// or once the client has.
class ScriptedServer {
 public:
  ScriptedServer(std::string_view reply, bool waitForClient) : listener_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, reply, waitForClient] {
      const SOCKET peer = accept(listener_, nullptr, nullptr);
      if (peer == INVALID_SOCKET) return;
      const DWORD patienceMs = 3000;  // the server gives up too, so a stuck client fails rather than hangs
      setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patienceMs), sizeof patienceMs);
      char hello[4096];
      if (recv(peer, hello, sizeof hello, 0) > 0) send(peer, reply.data(), static_cast<int>(reply.size()), 0);
      while (waitForClient && recv(peer, hello, sizeof hello, 0) > 0) {}
      closesocket(peer);
    });
  }
  ~ScriptedServer() {
    closesocket(listener_);  // ends an accept that never got its client
    thread_.join();
  }
  uint16_t port() const { return port_; }

 private:
  SOCKET listener_;
  uint16_t port_ = 0;
  std::thread thread_;
};

TEST(SchannelChannelTest, HandshakeFailuresHaveTheirOwnTexts) {
  std::string error;
  ASSERT_TRUE(StartSocketLibrary(error)) << error;
  constexpr std::string_view kClosed = "the peer closed during the TLS handshake";
  constexpr std::string_view kRejected = "InitializeSecurityContext failed (0x8";
  const struct {
    std::string_view reply;
    bool waitForClient, clientCannotSend;
    std::string_view expected;  // a prefix, for provider statuses
    Clock::duration atLeast = {};
  } cases[] = {
      {"", false, false, kClosed},
      // A record announced as 64 bytes and cut off after 5: more is awaited, then the close comes.
      {"\x16\x03\x03\x00\x40\x02\x00\x00\x3c\x03"sv, false, false, kClosed},
      // A whole record of nonsense server hello, and a fatal alert: the provider's own status.
      {"\x16\x03\x03\x00\x08\x02\x00\x00\x04\xff\xff\xff\xff"sv, true, false, kRejected},
      {"\x15\x03\x03\x00\x02\x02\x28"sv, true, false, kRejected},
      // Silent yet connected: only the client's own idle limit ends the wait.
      {"", true, false, kClosed, kShortIdle},
      {"", true, true, "the peer closed while the TLS handshake was being sent"},
  };
  for (const auto& [reply, waitForClient, clientCannotSend, expected, atLeast] : cases) {
    ScriptedServer server(reply, waitForClient);
    const SocketHandle socket = ConnectTcp("127.0.0.1", server.port(), error);
    ASSERT_NE(socket, kInvalidSocket) << error;
    ApplySessionSocketOptions(socket);
    if (clientCannotSend) ShutdownSocket(socket);
    const auto start = Clock::now();
    SchannelChannel channel(socket, kShortIdle);
    EXPECT_FALSE(channel.Handshake("aaaaaaaaaaaaaaaa", true, error));
    EXPECT_TRUE(error.starts_with(expected)) << error << ", expected " << expected;
    EXPECT_GE(Clock::now() - start, atLeast);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    channel.Shutdown();  // a context the failed handshake left is closed without complaint
    CloseSocket(socket);
  }
  StopSocketLibrary();
}

TEST(SchannelChannelTest, NothingIsSentOrReceivedBeforeTheHandshake) {
  SchannelChannel channel(kInvalidSocket);
  const uint8_t byte = 1;
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(channel.Send(&byte, 1));
  EXPECT_TRUE(
      ::testing::internal::GetCapturedStdout().ends_with(" WRN [tls] the stream sizes are unset; refusing to send\n"));
  channel.Interrupt();
  uint8_t buffer[5];
  EXPECT_FALSE(channel.ReceiveExact(buffer, sizeof buffer));
}

}  // namespace
}  // namespace stv::agent
