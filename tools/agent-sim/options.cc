#include "options.h"

#include <charconv>
#include <functional>
#include <map>

namespace stv::sim {
namespace {

bool ParseInt(std::string_view text, long low, long high, long& value) {
  const char* end = text.data() + text.size();
  const auto [rest, code] = std::from_chars(text.data(), end, value);
  return code == std::errc() && rest == end && value >= low && value <= high;
}

bool ParseSize(std::string_view text, int& width, int& height) {
  const size_t x = text.find('x');
  long w = 0;
  long h = 0;
  if (x == std::string_view::npos || !ParseInt(text.substr(0, x), 1, 16384, w) ||
      !ParseInt(text.substr(x + 1), 1, 16384, h)) {
    return false;
  }
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return true;
}

}  // namespace

bool ParseAgentOptions(std::span<const std::string_view> args, AgentOptions& options, std::string& error) {
  // Options that take a value: each sets its field or reports what it expected.
  using Setter = std::function<bool(std::string_view)>;
  auto integer = [](auto& field, long low, long high) {
    return Setter([&field, low, high](std::string_view text) {
      long value = 0;
      if (!ParseInt(text, low, high, value)) return false;
      field = static_cast<std::remove_reference_t<decltype(field)>>(value);
      return true;
    });
  };
  auto text = [](std::string& field) {
    return Setter([&field](std::string_view value) {
      field = value;
      return !value.empty();
    });
  };
  const std::map<std::string_view, std::pair<Setter, const char*>> valued = {
      {"--listen", {text(options.listen), "a numeric address"}},
      {"--port", {integer(options.port, 0, 65535), "a port from 0 to 65535"}},
      {"--sessions", {integer(options.sessions, 0, 1000000), "a count of 0 or more"}},
      {"--token",
       {[&](std::string_view v) {
          options.token = std::string(v);
          return v.size() <= 128;
        },
        "at most 128 bytes"}},
      {"--key", {text(options.keyPath), "a file name"}},
      {"--scene",
       {[&](std::string_view v) {
          options.stream.scene = v;
          return MakeScene(v) != nullptr;
        },
        "testcard, desktop or motion"}},
      {"--fps", {integer(options.fps, 1, 240), "frames per second from 1 to 240"}},
      {"--seconds", {integer(options.seconds, 0, 86400), "seconds from 0 to 86400"}},
      {"--frames", {integer(options.frames, 0, 100000000), "frames, 0 or more"}},
      {"--size",
       {[&](std::string_view v) { return ParseSize(v, options.stream.width, options.stream.height); },
        "WxH, each from 1 to 16384"}},
      {"--encoding",
       {[&](std::string_view v) {
          const auto mode = ParseEncodingMode(v);
          if (mode) options.stream.encoding = *mode;
          return mode.has_value();
        },
        "raw, raw-zlib, palette-zlib, webp, webp-lossless, jpeg, png or mix"}},
      {"--keyframe-interval", {integer(options.stream.keyframeInterval, 0, 1000000), "frames, 0 or more"}},
      {"--fragment-threshold", {integer(options.stream.fragmentThreshold, 1, 8388608), "bytes from 1 to 8388608"}},
      {"--restart-every", {integer(options.restartEvery, 0, 86400), "seconds from 0 to 86400"}},
      {"--replay-frames", {integer(options.stream.replayFrames, 1, 100000), "frames from 1 to 100000"}},
      {"--record", {text(options.recordPath), "a file name"}},
      {"--save-final", {text(options.saveFinalPath), "a file name"}},
      {"--fault",
       {[&](std::string_view v) {
          const auto fault = ParseFault(v);
          if (fault) options.fault = *fault;
          return fault.has_value();
        },
        "a fault name (see --help)"}},
  };
  bool replay = false;
  int replayFrames = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--plaintext") {
      options.plaintext = true;
    } else if (arg == "--print-id") {
      options.printId = true;
    } else if (arg == "--replay") {
      replay = true;
    } else if (const auto found = valued.find(arg); found != valued.end()) {
      if (i + 1 >= args.size()) {
        error = std::string(arg) + " needs a value: " + found->second.second;
        return false;
      }
      const std::string_view value = args[++i];
      if (!found->second.first(value)) {
        error = "bad value for " + std::string(arg) + ": \"" + std::string(value) + "\" (expected " +
                found->second.second + ")";
        return false;
      }
    } else {
      error = "unknown option \"" + std::string(arg) + "\"";
      return false;
    }
  }
  // --replay-frames alone does not turn replay on; --replay alone loops 60 frames.
  replayFrames = options.stream.replayFrames;
  options.stream.replayFrames = replay ? (replayFrames > 0 ? replayFrames : 60) : 0;
  if (options.plaintext && options.fault != Fault::kNone && DescribeFault(options.fault)->needsTls) {
    error = "--fault " + std::string(DescribeFault(options.fault)->name) + " needs TLS; drop --plaintext";
    return false;
  }
  return true;
}

std::string AgentUsage() {
  std::string usage =
      "usage: stv-agent-sim [options]\n"
      "\n"
      "A simulated remote agent for testing stv-view: it listens on a loopback address, speaks\n"
      "TLS 1.2 with a fresh self-signed certificate, proves its device key, reads the session\n"
      "token, and streams a synthetic screen. At start it prints \"listening on ADDR:PORT\" and,\n"
      "with TLS, \"device id: ID\" (pass that id to stv-view --pin).\n"
      "\n"
      "Connection:\n"
      "  --listen ADDR            numeric address to listen on (default 127.0.0.1)\n"
      "  --port N                 port (default 7443; 0 picks a free port)\n"
      "  --sessions N             sessions to serve one after another, then exit (default 1;\n"
      "                           0 serves until SIGINT or SIGTERM)\n"
      "  --plaintext              no TLS, no device binding, no token (stv-view --insecure-plaintext)\n"
      "  --token T                the session token the viewer must send (at most 128 bytes); a\n"
      "                           wrong one ends the session with a line on stderr. Without it any\n"
      "                           token is accepted\n"
      "  --key FILE               the P-256 device key in PEM form; created there when missing, so\n"
      "                           the device id stays the same (default\n"
      "                           $XDG_CONFIG_HOME or ~/.config, then stv-agent-sim/device-key.pem)\n"
      "  --print-id               print the device id of the key and exit\n"
      "\n"
      "Picture:\n"
      "  --scene NAME             testcard: a still test card (colour bars, ramps, grid, fine\n"
      "                           lines, text), sent once then only heartbeats; desktop: windows,\n"
      "                           typing text, a ticking clock and a moving photo, only changed\n"
      "                           64x64 tiles are sent; motion: every pixel changes every frame\n"
      "                           (default testcard)\n"
      "  --size WxH               picture size (default 1280x720)\n"
      "  --fps N                  frames per second (default 30)\n"
      "  --seconds N              stream this long, then close; 0 streams until the viewer\n"
      "                           disconnects (default 0)\n"
      "  --frames N               after N frames the picture stays still and only heartbeats\n"
      "                           follow (default 0: no limit)\n"
      "  --encoding E             tile encoding (default mix):\n"
      "                             raw            plain pixels\n"
      "                             raw-zlib       zlib-compressed pixels\n"
      "                             palette-zlib   zlib-compressed palette and indexes\n"
      "                                            (raw-zlib for tiles of more than 256 colours)\n"
      "                             webp           lossy WebP\n"
      "                             webp-lossless  lossless WebP\n"
      "                             jpeg           JPEG\n"
      "                             png            PNG\n"
      "                             mix            per tile: palette for few colours, WebP or\n"
      "                                            JPEG for photo-like tiles, raw-zlib otherwise\n"
      "                             containers     lossless system-decoder formats, tile by tile:\n"
      "                                            BMP, icon, GIF (TIFF above 256 colours), TIFF,\n"
      "                                            lossless JPEG XR\n"
      "  --keyframe-interval N    a keyframe every N frames (default 0: only the first frame and\n"
      "                           after the viewer asks for a full repaint)\n"
      "  --fragment-threshold B   messages above B bytes travel as fragments (default 65536)\n"
      "  --restart-every N        every N seconds start a new stream (a new stream id) with a\n"
      "                           keyframe, the size cycling through --size, 1024x768 and\n"
      "                           1920x1080 (default 0: one stream per session)\n"
      "  --replay                 pre-encode a loop of frames once and replay it, so the agent\n"
      "                           costs little CPU (quality reports are then not followed)\n"
      "  --replay-frames N        frames in the replayed loop (default 60)\n"
      "\n"
      "Recording:\n"
      "  --record FILE            write every control message from the viewer as one JSON line:\n"
      "                           {\"recvMs\":MS,\"message\":{...}}, MS counted from the agent's start\n"
      "  --save-final FILE.bmp    at the end of each session, write the picture the viewer should\n"
      "                           show as a 32-bit top-down BMP (lossy tiles as they decode);\n"
      "                           to compare it with the viewer's saved picture, let the agent\n"
      "                           end the session (a shorter --seconds than the viewer's)\n"
      "\n"
      "Faults (--fault NAME), each a real misbehaving peer:\n";
  for (const FaultInfo& info : AllFaults()) {
    std::string line = "  " + std::string(info.name);
    line.resize(26, ' ');
    usage += line + std::string(info.help) + (info.needsTls ? " (TLS only)" : "") + "\n";
  }
  usage +=
      "\n"
      "  --help                   this text\n"
      "\n"
      "The viewer's control messages are followed: a full repaint request sends a keyframe, a\n"
      "quality report sets the lossy quality (High 90, Balanced 75, DataSaver 50) and grayscale.\n"
      "SIGINT or SIGTERM ends the program cleanly. Exit code 0 when every session ran as asked,\n"
      "1 when one failed (handshake, token) or start-up failed, 2 for a bad command line.\n";
  return usage;
}

}  // namespace stv::sim
