#include "app/command_line.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace stv {

const char kUsageText[] =
    "Stavolin supporter (C++)\n"
    "\n"
    "  stv-view <host> [--port N] [--view-only]\n"
    "  stv-view <host> --headless [--seconds N] [--viewport WxH] [--preset NAME]\n"
    "                             [--gray] [--save FILE.bmp]\n"
    "\n"
    "In the session window:\n"
    "  Ctrl+Alt+Del   raise the real secure attention sequence on the client\n"
    "  Ctrl+Alt+Q     cycle the quality preset (High / Balanced / DataSaver)\n"
    "  Ctrl+Alt+G     toggle grayscale (a bandwidth mode, not a cosmetic one)\n"
    "  Ctrl+Alt+C     toggle the client's mouse cursor in the stream\n"
    "  Ctrl+Alt+R     ask for a full repaint\n";

int32_t ParseNumber(const std::string& text) {
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

namespace {

// Splits "A<sep>B" at the first separator; absent when the value is empty or has none.
bool SplitPair(const std::string& value, char separator, int32_t& first, int32_t& second) {
  const size_t at = value.find(separator);
  if (value.empty() || at == std::string::npos) return false;
  first = ParseNumber(value.substr(0, at));
  second = ParseNumber(value.substr(at + 1));
  return true;
}

enum class Match { kNone, kTaken, kUsageError };

// Options are tried in a fixed order; one that takes a value matches only when a value follows.
Match TryOption(const std::vector<std::string>& args, size_t& i, Options& options) {
  const std::string& arg = args[i];
  const bool hasValue = i + 1 < args.size();
  auto value = [&]() -> const std::string& { return args[++i]; };

  if (arg == "--port" && hasValue) {
    options.port = static_cast<uint16_t>(static_cast<uint32_t>(ParseNumber(value())));
  } else if (arg == "--view-only") {
    options.viewOnly = true;
  } else if (arg == "--pin" && hasValue) {
    options.security.pin = value();
  } else if (arg == "--token" && hasValue) {
    options.security.token = value();
  } else if (arg == "--insecure-no-pin") {
    options.security.insecureNoPin = true;
  } else if (arg == "--insecure-plaintext") {
    options.security.plaintext = true;
  } else if (arg == "--headless") {
    options.headless = true;
  } else if (arg == "--gray") {
    options.gray = true;
  } else if (arg == "--seconds" && hasValue) {
    options.seconds = ParseNumber(value());
  } else if (arg == "--preset" && hasValue) {
    options.preset = ParseQualityPreset(value());
  } else if (arg == "--save" && hasValue) {
    options.savePath = value();
  } else if (arg == "--probe-input" && hasValue) {
    options.probeInput = true;
    if (!SplitPair(value(), ',', options.probeX, options.probeY)) return Match::kUsageError;
  } else if (arg == "--viewport" && hasValue) {
    if (!SplitPair(value(), 'x', options.viewportWidth, options.viewportHeight)) return Match::kUsageError;
  } else {
    return Match::kNone;
  }
  return Match::kTaken;
}

}  // namespace

std::optional<Options> ParseCommandLine(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return std::nullopt;
  Options options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    switch (TryOption(arguments, i, options)) {
      case Match::kTaken: continue;
      case Match::kUsageError: return std::nullopt;
      case Match::kNone: break;
    }
    const std::string& word = arguments[i];
    if (word.size() >= 2 && word.compare(0, 2, "--") == 0) return std::nullopt;
    options.host = word;  // the last plain word wins, even one starting with a single dash
  }
  if (options.host.empty()) return std::nullopt;
  return options;
}

}  // namespace stv
