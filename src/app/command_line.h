// Parsing of stv-view's command line into its option set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/quality_preset.h"
#include "transport/tcp_transport.h"

namespace stv {

struct Options {
  std::string host;
  uint16_t port = 7443;
  bool viewOnly = false;
  bool headless = false;
  bool gray = false;
  int32_t seconds = 5;
  QualityPreset preset = QualityPreset::High;
  std::string savePath;
  bool probeInput = false;
  int32_t probeX = 32768;
  int32_t probeY = 32768;
  int32_t viewportWidth = 0;  // 0: not given
  int32_t viewportHeight = 0;
  agent::TcpTransport::Security security;
};

// The usage text, printed to standard error for every command-line error.
extern const char kUsageText[];

// Parses the arguments after the program name. Absent means a usage error (exit code 2).
std::optional<Options> ParseCommandLine(const std::vector<std::string>& arguments);

// A number the way strtol reads base 10, saturated to 32 bits; never an error.
int32_t ParseNumber(const std::string& text);

}  // namespace stv
