// Misbehaving peers, one run per line the viewer ends with (a wrong pin, no pin and a wrong
// token are in the headless test); the exact verdicts behind the lines are unit-tested.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string_view>

#include "agent_session.h"

namespace stv::testing {
namespace {

constexpr char kToken[] = "token-7f3a9c";
constexpr char kBadSignature[] =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";

TEST(TlsConnectTest, EachRefusedMachineGetsItsOwnReason) {
  const TempDir dir;
  // The reason given, and for bytes that are no TLS the start of another they may give.
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"handshake-close", "the peer closed during the TLS handshake", ""},
      {"key-length", "the client sent no device binding", ""},
      {"no-binding", "the client sent no device binding", ""},  // after the 15 s bound
      {"foreign-binding", kBadSignature, ""},
      {"bad-signature", kBadSignature, ""},
      {"compressed-key", kBadSignature, ""},
      {"der-signature", kBadSignature, ""},
      {"garbage", "the peer closed during the TLS handshake", "InitializeSecurityContext failed (0x"},
  };
  for (const auto& [fault, reason, other] : cases) {
    SCOPED_TRACE(fault);
    Agent agent(dir, {"--fault", fault});
    ASSERT_TRUE(agent.ready()) << agent.process.Err();
    const ViewerRun run = RunViewer(dir, agent.Session({"--token", kToken, "--headless"}));
    EXPECT_EQ(run.exitCode, 1);
    const std::string refused = "could not connect to 127.0.0.1:" + agent.port + " (";
    EXPECT_TRUE(run.err == refused + reason + ")\n" || (!other.empty() && run.err.starts_with(refused + other)))
        << run.err;
    EXPECT_EQ(run.out.find("connected to"), std::string::npos) << run.out;
    EXPECT_EQ((run.out + run.err).find(kToken), std::string::npos) << "the token shows in the output";
  }
}

// Every stream the agent can spoil, inside TLS (so the TLS layer's record handling meets them
// too), and garbage frames in plaintext: the session runs its course or ends early with a line,
// and the verdict follows from what arrived (the counts are the picture's unit tests; here,
// that they reach the report).
TEST(StreamFaultTest, EachSpoiledStreamEndsWithItsVerdict) {
  const TempDir dir;
  constexpr char kBadHeader[] = " WRN [transport] malformed frame header; closing the session\n";
  const std::tuple<const char*, bool, std::string> cases[] = {
      {"close-mid-frame", true, "tiles            : 20 painted"},
      {"bad-header", true, kBadHeader},
      {"oversized-frame", true, kBadHeader},
      {"garbage", false, kBadHeader},
      {"malformed-video", false, "(1 malformed)"},
      {"huge-frame", false, "(1 malformed)"},
      {"undecodable-tile", false, " 1 undecodable"},
      {"empty-tile-batch", false, " 65535 undecodable"},
      {"heartbeats-only", false, " 0 painted"},
      {"silent", false, "messages         : 0 "},
      {"fragment-flood", false, "malformed)"},
  };
  for (const auto& [fault, ok, line] : cases) {
    SCOPED_TRACE(fault);
    const bool tls = std::string_view(fault) != "garbage";
    Agent agent(dir, {"--fault", fault, "--size", "320x200"}, tls);
    ASSERT_TRUE(agent.ready()) << agent.process.Err();
    const ViewerRun run = RunViewer(dir, agent.Session({"--token", kToken, "--headless", "--seconds", "2"}));
    EXPECT_EQ(run.exitCode, ok ? 0 : 1) << run.out;
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
    EXPECT_TRUE(run.out.ends_with(ok ? "\nHEADLESS SESSION OK\n" : "\nHEADLESS SESSION FAILED\n")) << run.out;
    EXPECT_EQ(run.err, "");
  }
}

// An 8 MiB frame on an ignored channel after every good frame, over TLS: the viewer must stay
// responsive, end on time and keep its memory bounded (other limits are the picture's unit tests).
TEST(HostileStream, ViewerStaysResponsiveAndBoundedUnderMaximalFrames) {
  const TempDir dir;
  // The agent streams until the viewer leaves, so the run ends only if the viewer ends it.
  Agent agent(dir, {"--fault", "max-frames", "--scene", "desktop", "--size", "640x360"});
  ASSERT_TRUE(agent.ready()) << agent.process.Err();
  // A save that cannot be written is reported, but does not change a good verdict.
  const std::string save = dir / "no/such/dir/view.bmp";
  const ViewerRun run =
      RunViewer(dir, agent.Session({"--token", "hostile", "--headless", "--seconds", "3", "--save", save}));
  EXPECT_EQ(run.err, "could not write " + save + "\n");
  EXPECT_EQ(StatusLines(run.out).size(), 3u) << run.out;  // one a second
  EXPECT_NE(run.out.find("\nHEADLESS SESSION OK\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.exitCode, 0) << run.out;
  // Wine's own memory would count in a Windows viewer's figure.
  EXPECT_TRUE(STV_SANITIZED || TestingWindowsViewer() || run.peakRssKb < 100 * 1024)
      << "peak RSS in KiB: " << run.peakRssKb;
}

// Nothing listens: the socket layer's own code for a refused connection. The port stays bound
// (not listening, so refused) while the viewer runs: closed, it could go to another test's agent.
TEST(ConnectTest, RefusedPortNamesTheSocketError) {
  const TempDir dir;
  const int held = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::getsockname(held, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string port = std::to_string(ntohs(address.sin_port));
  const ViewerRun run = RunViewer(dir, {"127.0.0.1", "--port", port, "--insecure-plaintext", "--headless"});
  ::close(held);
  EXPECT_EQ(run.exitCode, 1) << run.out;
  const std::string code = TestingWindowsViewer() ? "10061" : "111";
  EXPECT_EQ(run.err, "could not connect to 127.0.0.1:" + port + " (connect failed (WSA " + code + "))\n") << run.out;
}

}  // namespace
}  // namespace stv::testing
