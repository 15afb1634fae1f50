// Misbehaving peers: every fault of the simulated agent ends the viewer with its own line and
// exit code, within a bounded time, and the session token never shows up in any output.
#include <gtest/gtest.h>

#include "agent_session.h"

namespace stv::testing {
namespace {

constexpr char kToken[] = "token-7f3a9c";
const std::string kInvalidSignature =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";

struct ConnectFault {
  const char* fault;
  std::string reason;  // what follows "could not connect to 127.0.0.1:PORT ("
};

class TlsConnectFaultTest : public ::testing::TestWithParam<ConnectFault> {};

TEST_P(TlsConnectFaultTest, RefusesTheMachineWithTheRightReason) {
  const std::string dir = ScratchDir();
  Agent agent = Agent::Start(dir, {"--fault", GetParam().fault});
  ASSERT_TRUE(agent.ready()) << agent.process->Err();
  const auto start = std::chrono::steady_clock::now();
  const ViewerRun run = RunViewer(dir, {"127.0.0.1", "--port", agent.port, "--pin", agent.deviceId, "--token", kToken,
                                        "--headless"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "could not connect to 127.0.0.1:" + agent.port + " (" + GetParam().reason + ")\n");
  EXPECT_EQ(run.out.find("connected to"), std::string::npos) << run.out;
  EXPECT_EQ((run.out + run.err).find(kToken), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TlsConnectFaultTest,
    ::testing::Values(ConnectFault{"handshake-close", "the peer closed during the TLS handshake"},
                      ConnectFault{"no-binding", "the client sent no device binding"},
                      ConnectFault{"bad-signature", kInvalidSignature},
                      ConnectFault{"foreign-binding", kInvalidSignature},
                      ConnectFault{"key-length", "the client sent no device binding"},
                      ConnectFault{"compressed-key", kInvalidSignature},
                      ConnectFault{"der-signature", kInvalidSignature}),
    [](const auto& info) {
      std::string name = info.param.fault;
      std::erase(name, '-');
      return name;
    });

TEST(TlsConnectTest, GarbageInsteadOfTlsIsAHandshakeFailure) {
  const std::string dir = ScratchDir();
  Agent agent = Agent::Start(dir, {"--fault", "garbage"});
  ASSERT_TRUE(agent.ready());
  const ViewerRun run = RunViewer(dir, {"127.0.0.1", "--port", agent.port, "--pin", agent.deviceId, "--headless"});
  EXPECT_EQ(run.exitCode, 1);
  const std::string prefix = "could not connect to 127.0.0.1:" + agent.port + " (";
  EXPECT_EQ(run.err.rfind(prefix, 0), 0u) << run.err;
  EXPECT_TRUE(run.err.find("InitializeSecurityContext failed (0x") != std::string::npos ||
              run.err.find("the peer closed during the TLS handshake") != std::string::npos)
      << run.err;
}

TEST(TlsConnectTest, PinsAreComparedExactly) {
  const std::string dir = ScratchDir();
  Agent agent = Agent::Start(dir, {"--sessions", "4", "--token", kToken});
  ASSERT_TRUE(agent.ready());
  std::string upper = agent.deviceId;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& pin : {upper, agent.deviceId + " ", std::string("aaaaaaaaaaaaaaaa")}) {
    const ViewerRun run =
        RunViewer(dir, {"127.0.0.1", "--port", agent.port, "--pin", pin, "--token", kToken, "--headless"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "could not connect to 127.0.0.1:" + agent.port + " (device id mismatch: expected " + pin +
                           ", the machine that answered is " + agent.deviceId + ")\n");
    EXPECT_EQ((run.out + run.err).find(kToken), std::string::npos);
  }
  const ViewerRun unpinned = RunViewer(dir, {"127.0.0.1", "--port", agent.port, "--token", kToken, "--headless"});
  EXPECT_EQ(unpinned.exitCode, 1);
  EXPECT_EQ(unpinned.err, "could not connect to 127.0.0.1:" + agent.port +
                              " (no device id to pin against (pass --pin <deviceId>, or --insecure-no-pin))\n");
}

TEST(TlsConnectTest, InsecureNoPinWarnsAndConnects) {
  const std::string dir = ScratchDir();
  Agent agent = Agent::Start(dir, {"--token", kToken, "--scene", "testcard", "--size", "320x200"});
  ASSERT_TRUE(agent.ready());
  const ViewerRun run = RunViewer(dir, {"127.0.0.1", "--port", agent.port, "--insecure-no-pin", "--token", kToken,
                                        "--headless", "--seconds", "1"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find(" WRN [tls] NOT PINNED: connected to device " + agent.deviceId +
                         " without verifying it was the expected one\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ((run.out + run.err).find(kToken), std::string::npos);
}

TEST(TlsConnectTest, WrongTokenEndsTheSession) {
  const std::string dir = ScratchDir();
  Agent agent = Agent::Start(dir, {"--token", kToken});
  ASSERT_TRUE(agent.ready());
  const ViewerRun run = RunViewer(dir, {"127.0.0.1", "--port", agent.port, "--pin", agent.deviceId, "--token",
                                        "not-the-token", "--headless", "--seconds", "3"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(run.out.ends_with("\nHEADLESS SESSION FAILED\n")) << run.out;
}

struct StreamFault {
  const char* fault;
  bool plaintext;
  const char* logLine;  // a warning the viewer must print, or empty
};

class StreamFaultTest : public ::testing::TestWithParam<StreamFault> {};

TEST_P(StreamFaultTest, SessionEndsPromptlyWithTheRightLine) {
  const std::string dir = ScratchDir();
  const bool tls = !GetParam().plaintext;
  Agent agent = Agent::Start(dir, {"--fault", GetParam().fault, "--size", "320x200"}, tls);
  ASSERT_TRUE(agent.ready(tls)) << agent.process->Err();
  std::vector<std::string> arguments = {"127.0.0.1", "--port", agent.port, "--headless", "--seconds", "4"};
  if (tls) {
    arguments.insert(arguments.end(), {"--pin", agent.deviceId, "--token", kToken});
  } else {
    arguments.push_back("--insecure-plaintext");
  }
  const auto start = std::chrono::steady_clock::now();
  const ViewerRun run = RunViewer(dir, arguments);
  const auto took = std::chrono::steady_clock::now() - start;
  // A fault after a good first frame leaves the verdict to what arrived; silence or garbage fail it.
  const bool silentOrGarbage = std::string(GetParam().fault) == "silent" || std::string(GetParam().fault) == "garbage";
  if (silentOrGarbage) {
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_TRUE(run.out.ends_with("\nHEADLESS SESSION FAILED\n")) << run.out;
  } else {
    EXPECT_TRUE(run.out.ends_with("\nHEADLESS SESSION OK\n") || run.out.ends_with("\nHEADLESS SESSION FAILED\n"))
        << run.out;
  }
  if (*GetParam().logLine) {
    EXPECT_NE(run.out.find(GetParam().logLine), std::string::npos) << run.out;
  }
  if (std::string(GetParam().fault) != "silent") {
    // The transport's end stops the timed passes at the next check, long before the four seconds.
    EXPECT_LT(took, std::chrono::milliseconds(3500)) << run.out;
  }
  EXPECT_EQ((run.out + run.err).find(kToken), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StreamFaultTest,
    ::testing::Values(
        StreamFault{"close-mid-frame", false, ""}, StreamFault{"close-mid-frame", true, ""},
        StreamFault{"bad-header", false, " WRN [transport] malformed frame header; closing the session\n"},
        StreamFault{"bad-header", true, " WRN [transport] malformed frame header; closing the session\n"},
        StreamFault{"oversized-frame", false, " WRN [transport] malformed frame header; closing the session\n"},
        StreamFault{"oversized-frame", true, " WRN [transport] malformed frame header; closing the session\n"},
        StreamFault{"garbage", true, ""}, StreamFault{"silent", false, ""}, StreamFault{"silent", true, ""}),
    [](const auto& info) {
      std::string name = info.param.fault;
      std::erase(name, '-');
      return name + (info.param.plaintext ? "Plaintext" : "Tls");
    });

}  // namespace
}  // namespace stv::testing
