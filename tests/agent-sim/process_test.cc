// The agent as a user runs it: its start-up lines, its exit codes, signals, and each fault
// seen from the wire by a bare client.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "agent-sim/test_viewer.h"

namespace stv::sim::testing {
namespace {

class AgentRun : public ::testing::Test {
 protected:
  void SetUp() override { keyPath_ = "/tmp/stv-agent-sim-process-" + std::to_string(::getpid()) + ".pem"; }
  void TearDown() override { std::remove(keyPath_.c_str()); }

  std::unique_ptr<AgentProcess> Start(std::vector<std::string> args) {
    args.insert(args.end(), {"--port", "0", "--key", keyPath_, "--size", "320x200", "--seconds", "1"});
    return AgentProcess::Start(args);
  }

  // Plaintext bytes from an agent with `fault`, until it closes or `timeoutMs` passes.
  Bytes PlainBytes(const std::string& fault, bool& closed, int timeoutMs = 2000) {
    auto agent = Start({"--plaintext", "--fault", fault});
    EXPECT_TRUE(agent);
    if (!agent) return {};
    auto viewer = TestViewer::Connect(agent->port(), false);
    EXPECT_TRUE(viewer);
    return viewer ? viewer->ReadUntilClosed(timeoutMs, closed) : Bytes();
  }

  std::string keyPath_;
};

// Walks the frames of a byte stream: the offset where the walk stopped, and the frames.
size_t WalkFrames(const Bytes& bytes, std::vector<WireFrame>& frames) {
  size_t offset = 0;
  while (bytes.size() - offset >= 5) {
    const uint32_t length = (uint32_t{bytes[offset + 1]} << 24) | (uint32_t{bytes[offset + 2]} << 16) |
                            (uint32_t{bytes[offset + 3]} << 8) | bytes[offset + 4];
    if (bytes[offset] > 3 || length == 0 || length > 8388608 || bytes.size() - offset - 5 < length) break;
    frames.push_back({bytes[offset], Bytes(bytes.begin() + offset + 5, bytes.begin() + offset + 5 + length)});
    offset += 5 + length;
  }
  return offset;
}

TEST_F(AgentRun, PrintsAStableIdAndTheSameIdWhenListening) {
  std::string first;
  std::string second;
  ASSERT_EQ(RunAgent({"--key", keyPath_, "--print-id"}, first), 0);
  ASSERT_EQ(RunAgent({"--key", keyPath_, "--print-id"}, second), 0);
  EXPECT_EQ(first, second);
  ASSERT_EQ(first.size(), 17u);
  auto agent = Start({});
  ASSERT_TRUE(agent);
  EXPECT_EQ(agent->deviceId() + "\n", first);
  agent->Signal(SIGTERM);
  EXPECT_EQ(agent->Wait(3000), 0) << "a stop signal ends the agent cleanly";
}

TEST_F(AgentRun, BadCommandLineExitsWithTwo) {
  std::string output;
  EXPECT_EQ(RunAgent({"--encoding", "gif"}, output), 2);
  EXPECT_NE(output.find("--encoding"), std::string::npos) << output;
  EXPECT_EQ(RunAgent({"--help"}, output), 0);
}

TEST_F(AgentRun, WrongTokenIsReportedAndFailsTheRun) {
  auto agent = Start({"--token", "right"});
  ASSERT_TRUE(agent);
  auto viewer = TestViewer::Connect(agent->port(), true);
  ASSERT_TRUE(viewer);
  ASSERT_TRUE(viewer->ReadBinding(3000));
  ASSERT_TRUE(viewer->SendToken("left"));
  EXPECT_EQ(agent->Wait(5000), 1);
  EXPECT_NE(agent->Stderr().find("wrong session token"), std::string::npos) << agent->Stderr();
}

TEST_F(AgentRun, TlsFaultsMisbehaveBelowAndAtTheBinding) {
  auto closing = Start({"--fault", "handshake-close"});
  ASSERT_TRUE(closing);
  EXPECT_FALSE(TestViewer::Connect(closing->port(), true)) << "the handshake must not complete";
  EXPECT_EQ(closing->Wait(3000), 0);

  auto garbage = Start({"--fault", "garbage"});
  ASSERT_TRUE(garbage);
  EXPECT_FALSE(TestViewer::Connect(garbage->port(), true));

  auto silent = Start({"--fault", "no-binding"});
  ASSERT_TRUE(silent);
  auto viewer = TestViewer::Connect(silent->port(), true);
  ASSERT_TRUE(viewer) << "the handshake completes";
  bool closed = false;
  EXPECT_TRUE(viewer->ReadUntilClosed(2500, closed).empty()) << "but no binding follows";
  EXPECT_EQ(silent->Wait(3000), 0);
}

TEST_F(AgentRun, FramingFaultsFollowOneGoodFrame) {
  bool closed = false;
  std::vector<WireFrame> frames;
  Bytes bytes = PlainBytes("bad-header", closed);
  size_t end = WalkFrames(bytes, frames);
  ASSERT_FALSE(frames.empty());
  ASSERT_GE(bytes.size() - end, 5u);
  EXPECT_EQ(bytes[end], 4) << "channel 4 after the good frames";

  frames.clear();
  bytes = PlainBytes("oversized-frame", closed);
  end = WalkFrames(bytes, frames);
  EXPECT_EQ(Bytes(bytes.begin() + end, bytes.end()), (Bytes{1, 0x00, 0x80, 0x00, 0x01}));

  frames.clear();
  bytes = PlainBytes("close-mid-frame", closed);
  end = WalkFrames(bytes, frames);
  EXPECT_TRUE(closed);
  ASSERT_GE(bytes.size() - end, 5u);
  const uint32_t announced = (uint32_t{bytes[end + 1]} << 24) | (uint32_t{bytes[end + 2]} << 16) |
                             (uint32_t{bytes[end + 3]} << 8) | bytes[end + 4];
  EXPECT_LT(bytes.size() - end - 5, announced) << "the last frame is cut short";
  EXPECT_GT(bytes.size() - end - 5, 0u);
}

TEST_F(AgentRun, QuietFaultsSendLittleOrNothing) {
  bool closed = false;
  std::vector<WireFrame> frames;
  const Bytes heartbeats = PlainBytes("heartbeats-only", closed, 500);
  WalkFrames(heartbeats, frames);
  ASSERT_GE(frames.size(), 3u);
  for (const WireFrame& frame : frames) {
    EXPECT_EQ(frame.channel, 1);
    EXPECT_EQ(frame.payload[0], 4) << "heartbeats only";
  }
  EXPECT_TRUE(PlainBytes("silent", closed, 500).empty());
  EXPECT_FALSE(closed);

  frames.clear();
  const Bytes garbage = PlainBytes("garbage", closed, 500);
  EXPECT_GT(garbage.size(), 4096u);
  EXPECT_LT(WalkFrames(garbage, frames), garbage.size()) << "random bytes are no frame stream";
}

}  // namespace
}  // namespace stv::sim::testing
