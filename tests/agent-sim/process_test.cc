// The agent as the demo runs it: the demo pins the id that --print-id gives for its key, so
// that id must be stable and the one the listening agent proves.
#include <gtest/gtest.h>
#include <signal.h>

#include "support/agent_sim.h"

namespace stv::testing {
namespace {

TEST(AgentRun, PrintsAStableIdAndTheSameIdWhenListening) {
  const TempDir dir;
  const std::vector<std::string> printId = {AgentPath(), "--key", Agent::KeyPath(dir), "--print-id"};
  const auto first = RunCommand(printId);   // creates the key
  const auto second = RunCommand(printId);  // loads it
  ASSERT_EQ(first.exitCode, 0) << first.errors;
  ASSERT_EQ(second.exitCode, 0) << second.errors;
  EXPECT_EQ(first.output, second.output);
  ASSERT_EQ(first.output.size(), 17u);
  Agent agent(dir, {"--size", "320x200", "--seconds", "1"});
  ASSERT_TRUE(agent.ready()) << agent.process.Err();
  EXPECT_EQ(agent.deviceId + "\n", first.output);
  agent.process.Signal(SIGTERM);
  EXPECT_EQ(agent.process.Wait(), 0) << "a stop signal ends the agent cleanly";
}

}  // namespace
}  // namespace stv::testing
