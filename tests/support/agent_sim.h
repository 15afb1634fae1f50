// The simulated agent as a separate process, started the way a user starts it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace stv::testing {

inline std::string ViewerPath() { return std::string(STV_BINARY_DIR) + "/src/app/stv-view"; }
inline std::string AgentPath() { return std::string(STV_BINARY_DIR) + "/tools/agent-sim/stv-agent-sim"; }

// A running agent that has printed its port (and, over TLS, its device id). Its key, output
// and records live in `dir`.
struct Agent {
  Agent(const TempDir& dir, const std::vector<std::string>& arguments, bool useTls = true) : tls(useTls) {
    std::vector<std::string> argv = {AgentPath(), "--port", "0"};
    if (tls) {
      argv.insert(argv.end(), {"--key", KeyPath(dir)});
    } else {
      argv.push_back("--plaintext");
    }
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    static int started = 0;  // several agents may share a folder
    std::string error;
    if (!process.Start(PlanWithOutput(argv, dir / ("agent" + std::to_string(++started))), error)) return;
    port = process.WaitForOutput(R"(listening on [^ ]+:(\d+)\n)").value_or("");
    if (tls) deviceId = process.WaitForOutput(R"(device id: ([a-z2-7]{16})\n)").value_or("");
  }
  static std::string KeyPath(const TempDir& dir) { return dir / "device-key.pem"; }
  bool ready() const { return !port.empty() && (!tls || !deviceId.empty()); }
  uint16_t Port() const { return static_cast<uint16_t>(std::stoi(port)); }

  // The viewer's arguments for a session with this agent: its address, the pin over TLS or
  // the plaintext switch, then `more`.
  std::vector<std::string> Session(const std::vector<std::string>& more) const {
    std::vector<std::string> arguments = {"127.0.0.1", "--port", port};
    if (tls) {
      arguments.insert(arguments.end(), {"--pin", deviceId});
    } else {
      arguments.push_back("--insecure-plaintext");
    }
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  }

  ChildProcess process;
  bool tls;
  std::string port;
  std::string deviceId;
};

}  // namespace stv::testing
