// Misbehaving peers: every fault of the simulated agent ends the viewer with its own line and
// exit code, within a bounded time, and the session token never shows up in any output.
#include <gtest/gtest.h>

#include "agent_session.h"

namespace stv::testing {
namespace {

constexpr char kToken[] = "token-7f3a9c";
const std::string kInvalidSignature =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";

bool ShowsToken(const ViewerRun& run) { return (run.out + run.err).find(kToken) != std::string::npos; }

struct ConnectFault {
  const char* fault;
  std::string reason;      // what follows "could not connect to 127.0.0.1:PORT ("
  std::string other = "";  // another reason's start, if the fault may show either way
};

class TlsConnectFaultTest : public ::testing::TestWithParam<ConnectFault> {};

TEST_P(TlsConnectFaultTest, RefusesTheMachineWithTheRightReason) {
  const TempDir dir;
  Agent agent(dir, {"--fault", GetParam().fault});
  ASSERT_TRUE(agent.ready()) << agent.process.Err();
  const ViewerRun run = RunViewer(dir, agent.Session({"--token", kToken, "--headless"}));
  EXPECT_EQ(run.exitCode, 1);
  const std::string refused = "could not connect to 127.0.0.1:" + agent.port + " (";
  EXPECT_TRUE(run.err == refused + GetParam().reason + ")\n" ||
              (!GetParam().other.empty() && run.err.starts_with(refused + GetParam().other)))
      << run.err;
  EXPECT_EQ(run.out.find("connected to"), std::string::npos) << run.out;
  EXPECT_FALSE(ShowsToken(run));
  EXPECT_EQ(agent.process.Wait(), 0) << "misbehaving as asked is no failure of the agent";
}

INSTANTIATE_TEST_SUITE_P(Faults, TlsConnectFaultTest,
                         ::testing::Values(ConnectFault{"handshake-close", "the peer closed during the TLS handshake"},
                                           ConnectFault{"no-binding", "the client sent no device binding"},
                                           ConnectFault{"bad-signature", kInvalidSignature},
                                           ConnectFault{"foreign-binding", kInvalidSignature},
                                           ConnectFault{"key-length", "the client sent no device binding"},
                                           ConnectFault{"compressed-key", kInvalidSignature},
                                           ConnectFault{"der-signature", kInvalidSignature},
                                           // Bytes that are no TLS: the handshake fails, or the peer closes during it.
                                           ConnectFault{"garbage", "the peer closed during the TLS handshake",
                                                        "InitializeSecurityContext failed (0x"}),
                         [](const auto& info) { return FaultTestName(info.param.fault); });

// One agent serves all the runs: wrong pins, none, no pin wanted, then the wrong token.
TEST(TlsConnectTest, PinsAreComparedExactlyAndRequiredAndTheTokenChecked) {
  const TempDir dir;
  Agent agent(dir, {"--sessions", "6", "--token", kToken, "--scene", "testcard", "--size", "320x200"});
  ASSERT_TRUE(agent.ready());
  std::string upper = agent.deviceId;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string refused = "could not connect to 127.0.0.1:" + agent.port + " (";
  for (const std::string& pin : {upper, agent.deviceId + " ", std::string("aaaaaaaaaaaaaaaa")}) {
    const ViewerRun run =
        RunViewer(dir, {"127.0.0.1", "--port", agent.port, "--pin", pin, "--token", kToken, "--headless"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, refused + "device id mismatch: expected " + pin + ", the machine that answered is " +
                           agent.deviceId + ")\n");
    EXPECT_FALSE(ShowsToken(run));
  }
  const ViewerRun unpinned = RunViewer(dir, {"127.0.0.1", "--port", agent.port, "--token", kToken, "--headless"});
  EXPECT_EQ(unpinned.exitCode, 1);
  EXPECT_EQ(unpinned.err, refused + "no device id to pin against (pass --pin <deviceId>, or --insecure-no-pin))\n");

  const ViewerRun insecure = RunViewer(
      dir, {"127.0.0.1", "--port", agent.port, "--insecure-no-pin", "--token", kToken, "--headless", "--seconds", "1"});
  EXPECT_EQ(insecure.exitCode, 0) << insecure.out << insecure.err;
  EXPECT_NE(insecure.out.find(" WRN [tls] NOT PINNED: connected to device " + agent.deviceId +
                              " without verifying it was the expected one\n"),
            std::string::npos)
      << insecure.out;
  EXPECT_FALSE(ShowsToken(insecure));

  const ViewerRun wrongToken =
      RunViewer(dir, agent.Session({"--token", "not-the-token", "--headless", "--seconds", "3"}));
  EXPECT_EQ(wrongToken.exitCode, 1);
  EXPECT_TRUE(wrongToken.out.ends_with("\nHEADLESS SESSION FAILED\n")) << wrongToken.out;
}

struct StreamFault {
  const char* fault;
  bool tls;
  bool malformedHeader;  // the viewer must log the malformed frame header
};

class StreamFaultTest : public ::testing::TestWithParam<StreamFault> {};

TEST_P(StreamFaultTest, SessionEndsPromptlyWithTheRightLine) {
  const TempDir dir;
  const std::string fault = GetParam().fault;
  Agent agent(dir, {"--fault", fault, "--size", "320x200"}, GetParam().tls);
  ASSERT_TRUE(agent.ready()) << agent.process.Err();
  // Silence runs the session to its end; any other fault ends the transport, and so the passes.
  const bool silent = fault == "silent";
  const ViewerRun run =
      RunViewer(dir, agent.Session({"--token", kToken, "--headless", "--seconds", silent ? "4" : "20"}));
  EXPECT_TRUE(silent || StatusLines(run.out).size() < 20) << run.out;
  // A fault after a good first frame leaves the verdict to what arrived; silence or garbage fail it.
  if (silent || fault == "garbage") {
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_TRUE(run.out.ends_with("\nHEADLESS SESSION FAILED\n")) << run.out;
  } else {
    EXPECT_TRUE(run.out.ends_with("\nHEADLESS SESSION OK\n") || run.out.ends_with("\nHEADLESS SESSION FAILED\n"))
        << run.out;
  }
  if (GetParam().malformedHeader) {
    EXPECT_NE(run.out.find(" WRN [transport] malformed frame header; closing the session\n"), std::string::npos)
        << run.out;
  }
  EXPECT_FALSE(ShowsToken(run));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StreamFaultTest,
    ::testing::Values(StreamFault{"close-mid-frame", false, false}, StreamFault{"close-mid-frame", true, false},
                      StreamFault{"bad-header", false, true}, StreamFault{"bad-header", true, true},
                      StreamFault{"oversized-frame", false, true}, StreamFault{"oversized-frame", true, true},
                      StreamFault{"garbage", false, false}, StreamFault{"silent", false, false},
                      StreamFault{"silent", true, false}),
    [](const auto& info) { return FaultTestName(info.param.fault, info.param.tls ? "Tls" : "Plaintext"); });

}  // namespace
}  // namespace stv::testing
