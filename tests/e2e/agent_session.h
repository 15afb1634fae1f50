// The real stv-view against the real stv-agent-sim on loopback: helpers shared by the
// end-to-end tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "json/json.h"
#include "support/subprocess.h"

namespace stv::testing {

inline std::string ViewerPath() { return std::string(STV_BINARY_DIR) + "/src/app/stv-view"; }
inline std::string AgentPath() { return std::string(STV_BINARY_DIR) + "/tools/agent-sim/stv-agent-sim"; }

// A fresh folder per test for keys, records and pictures.
inline std::string ScratchDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string dir = ::testing::TempDir() + "stv-e2e-" + info->test_suite_name() + "-" + info->name();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// A running agent that has printed its port (and, over TLS, its device id).
struct Agent {
  std::unique_ptr<Subprocess> process;
  std::string port;
  std::string deviceId;

  static Agent Start(const std::string& dir, std::vector<std::string> arguments, bool tls = true) {
    std::vector<std::string> argv = {AgentPath(), "--port", "0"};
    if (tls) {
      argv.insert(argv.end(), {"--key", dir + "/device-key.pem"});
    } else {
      argv.push_back("--plaintext");
    }
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Agent agent;
    agent.process = std::make_unique<Subprocess>(argv, dir + "/agent");
    agent.port = agent.process->WaitForOutput(R"(listening on [^ ]+:(\d+)\n)", std::chrono::seconds(10)).value_or("");
    if (tls) {
      agent.deviceId = agent.process->WaitForOutput(R"(device id: ([a-z2-7]{16})\n)", std::chrono::seconds(5)).value_or("");
    }
    return agent;
  }
  bool ready(bool tls = true) const { return !port.empty() && (!tls || !deviceId.empty()); }
};

struct ViewerRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs stv-view to its end; a run that does not end within `limit` fails the test.
inline ViewerRun RunViewer(const std::string& dir, std::vector<std::string> arguments,
                           std::chrono::seconds limit = std::chrono::seconds(40)) {
  std::vector<std::string> argv = {ViewerPath()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Subprocess viewer(argv, dir + "/viewer");
  ViewerRun run;
  const auto code = viewer.Wait(limit);
  EXPECT_TRUE(code.has_value()) << "stv-view did not end within " << limit.count() << " s";
  run.exitCode = code.value_or(-1);
  run.out = viewer.Out();
  run.err = viewer.Err();
  return run;
}

// The decoded control messages of an agent's --record file.
inline std::vector<JsonValue> RecordedMessages(const std::string& path) {
  std::vector<JsonValue> messages;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    auto value = ParseJson(line);
    if (value && value->Find("message")) messages.push_back(*value->Find("message"));
  }
  return messages;
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace stv::testing
