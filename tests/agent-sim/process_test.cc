// The agent as a user runs it: its start-up lines, its exit codes, signals, and each plaintext
// fault seen from the wire by a bare client (the TLS faults are judged in fault_e2e_test).
#include <gtest/gtest.h>
#include <signal.h>

#include "agent-sim/test_viewer.h"
#include "common/byte_order.h"
#include "support/agent_sim.h"

namespace stv::sim::testing {
namespace {

using std::chrono::seconds;
using stv::testing::Agent;

class AgentRun : public ::testing::Test {
 protected:
  std::unique_ptr<Agent> Start(std::vector<std::string> args, bool tls = true) {
    args.insert(args.end(), {"--size", "320x200", "--seconds", "1"});
    auto agent = std::make_unique<Agent>(dir_, args, tls);
    EXPECT_TRUE(agent->ready()) << agent->process.Err();
    return agent->ready() ? std::move(agent) : nullptr;
  }

  // Plaintext bytes from an agent with `fault`, until it closes (after its one second at most).
  Bytes PlainBytes(const std::string& fault, bool& closed) {
    const auto agent = Start({"--fault", fault}, /*tls=*/false);
    auto viewer = agent ? TestViewer::Connect(agent->Port()) : nullptr;
    EXPECT_TRUE(viewer);
    return viewer ? viewer->ReadUntilClosed(closed) : Bytes();
  }

  stv::testing::TempDir dir_;
};

// Walks the frames of a byte stream: the offset where the walk stopped, and the frames.
size_t WalkFrames(const Bytes& bytes, std::vector<WireFrame>* frames = nullptr) {
  size_t offset = 0;
  while (bytes.size() - offset >= 5) {
    const uint32_t length = ReadU32Be(&bytes[offset + 1]);
    if (bytes[offset] > 3 || length == 0 || length > 8388608 || bytes.size() - offset - 5 < length) break;
    const auto payload = bytes.begin() + offset + 5;
    if (frames) frames->push_back({bytes[offset], Bytes(payload, payload + length)});
    offset += 5 + length;
  }
  return offset;
}

TEST_F(AgentRun, PrintsAStableIdAndTheSameIdWhenListening) {
  const std::vector<std::string> printId = {stv::testing::AgentPath(), "--key", Agent::KeyPath(dir_), "--print-id"};
  const auto first = stv::testing::RunCommand(printId);
  const auto second = stv::testing::RunCommand(printId);
  ASSERT_EQ(first.exitCode, 0);
  ASSERT_EQ(second.exitCode, 0);
  EXPECT_EQ(first.output, second.output);
  ASSERT_EQ(first.output.size(), 17u);
  auto agent = Start({});
  ASSERT_TRUE(agent);
  EXPECT_EQ(agent->deviceId + "\n", first.output);
  agent->process.Signal(SIGTERM);
  EXPECT_EQ(agent->process.Wait(), 0) << "a stop signal ends the agent cleanly";
}

TEST_F(AgentRun, BadCommandLineExitsWithTwo) {
  const auto bad = stv::testing::RunCommand({stv::testing::AgentPath(), "--encoding", "gif"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE((bad.output + bad.errors).find("--encoding"), std::string::npos) << bad.output << bad.errors;
  EXPECT_EQ(stv::testing::RunCommand({stv::testing::AgentPath(), "--help"}).exitCode, 0);
}

TEST_F(AgentRun, WrongTokenIsReportedAndFailsTheRun) {
  auto agent = Start({"--token", "right"});
  ASSERT_TRUE(agent);
  auto viewer = TestViewer::Connect(agent->Port(), agent->deviceId);
  ASSERT_TRUE(viewer);
  ASSERT_TRUE(viewer->SendToken("left"));
  uint8_t byte = 0;
  EXPECT_FALSE(viewer->ReadExact(&byte, 1)) << "nothing is streamed to a viewer with the wrong token";
  EXPECT_EQ(agent->process.Wait(), 1);
  EXPECT_NE(agent->process.Err().find("wrong session token"), std::string::npos) << agent->process.Err();
}

TEST_F(AgentRun, FramingFaultsFollowOneGoodFrame) {
  bool closed = false;
  Bytes bytes = PlainBytes("bad-header", closed);
  size_t end = WalkFrames(bytes);
  ASSERT_GT(end, 0u) << "a good frame first";
  ASSERT_GE(bytes.size() - end, 5u);
  EXPECT_EQ(bytes[end], 4) << "channel 4 after the good frames";

  bytes = PlainBytes("oversized-frame", closed);
  end = WalkFrames(bytes);
  EXPECT_EQ(Bytes(bytes.begin() + end, bytes.end()), (Bytes{1, 0x00, 0x80, 0x00, 0x01}));  // 8 MiB + 1

  bytes = PlainBytes("close-mid-frame", closed);
  end = WalkFrames(bytes);
  EXPECT_TRUE(closed);
  ASSERT_GE(bytes.size() - end, 5u);
  EXPECT_LT(bytes.size() - end - 5, ReadU32Be(&bytes[end + 1])) << "the last frame is cut short";
  EXPECT_GT(bytes.size() - end - 5, 0u);
}

TEST_F(AgentRun, QuietFaultsSendLittleOrNothing) {
  bool closed = false;
  std::vector<WireFrame> frames;
  const Bytes heartbeats = PlainBytes("heartbeats-only", closed);
  WalkFrames(heartbeats, &frames);
  ASSERT_GE(frames.size(), 3u);
  for (const WireFrame& frame : frames) {
    EXPECT_EQ(frame.channel, 1);
    EXPECT_EQ(frame.payload[0], 4) << "heartbeats only";
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(PlainBytes("silent", closed).empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, seconds(1)) << "silent, yet held open to the end of its second";

  const Bytes garbage = PlainBytes("garbage", closed);
  EXPECT_GT(garbage.size(), 4096u);
  EXPECT_LT(WalkFrames(garbage), garbage.size()) << "random bytes are no frame stream";
}

}  // namespace
}  // namespace stv::sim::testing
