// The simulated agent as a separate process, started the way a user starts it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace stv::testing {

inline std::string ViewerPath() { return std::string(STV_BINARY_DIR) + "/src/app/stv-view"; }
// The viewer as the tests start it: this build's, or the stv-view.exe that
// STV_TEST_WINDOWS_VIEWER names, under Wine.
inline std::vector<std::string> ViewerCommand() {
  const char* exe = std::getenv("STV_TEST_WINDOWS_VIEWER");
  if (exe && *exe) return {"wine", exe};
  return {ViewerPath()};
}
inline bool TestingWindowsViewer() { return ViewerCommand().size() > 1; }
// Output as the tests compare it: a Windows program's text-mode "\r\n" line ends read as
// "\n", and the lines Wine's TLS backend prints on its own ("GnuTLS error: ...") left out.
inline std::string Lines(std::string text) {
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
  for (size_t at = 0; (at = text.find("GnuTLS error: ", at)) != std::string::npos;) {
    if (at == 0 || text[at - 1] == '\n')
      text.erase(at, text.find('\n', at) + 1 - at);
    else
      ++at;
  }
  return text;
}
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
