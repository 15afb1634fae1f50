// The command line of stv-agent-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "faults.h"
#include "video_source.h"

namespace stv::sim {

struct AgentOptions {
  std::string listen = "127.0.0.1";
  uint16_t port = 7443;
  int sessions = 1;  // 0: serve until stopped
  bool plaintext = false;
  std::optional<std::string> token;  // absent: any token is accepted
  std::string keyPath;               // empty: DefaultKeyPath()
  bool printId = false;
  bool help = false;
  StreamConfig stream;
  int fps = 30;
  int seconds = 0;       // 0: until the viewer disconnects
  int frames = 0;        // frames to send before only heartbeats follow; 0: no limit
  int restartEvery = 0;  // seconds between new streams; 0: one stream per session
  Fault fault = Fault::kNone;
  std::string recordPath;
  std::string saveFinalPath;
};

// Fills `options` from the arguments after the program name. False with `error` set on any
// unknown option, missing value or value out of range.
bool ParseAgentOptions(std::span<const std::string_view> args, AgentOptions& options, std::string& error);

std::string AgentUsage();

}  // namespace stv::sim
