// The whole viewer against a bare decode loop. For each encoding, stv-agent-sim replays a
// pre-encoded 1920x1080 full-motion loop over loopback TLS as fast as `stv-view --headless`
// takes it (up to 240 frames per second); the viewer's CPU time (user + system of the
// whole process, from wait4) per frame is set against decoding the same loop's tiles in a
// tight loop in this process, in the same run. "ratio" is the viewer's CPU per frame over
// the tight loop's: what framing, TLS, reassembly, copying into the picture and locking
// add. "fps" is the frame rate the session reached. For the zlib encodings "ratio_zlib"
// sets the viewer against the same loop inflated by zlib itself, the library a viewer
// without its own inflate would call: the ratio above is against our faster inflate, so
// every cycle taken out of decoding raises it.
//
// Three sessions per encoding, each bracketed by measurements of the tight loop and of the
// same messages through ApplyVideoMessage in this process ("apply": the viewer's work
// without the connection) just before and just after it; the medians are reported.
// STV_PIPELINE_SECONDS sets the session length (default 6).

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <webp/decode.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "thread_cpu_time.h"
#include "unstreamed_buffer.h"

#include "codec/system_image_codec.h"
#include "protocol/palette_expansion.h"
#include "protocol/session_picture.h"
#include "protocol/tile_decompression.h"
#include "video_source.h"

extern char** environ;

namespace stv {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kLoopFrames = 30;
constexpr size_t kMaxTileBytes = 64 * 64 * 4;  // the agent's tiles are at most 64 x 64

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A child whose output goes to a file and whose resource use is collected when it ends.
class Child {
 public:
  Child(std::vector<std::string> argv, std::string outPath) : outPath_(std::move(outPath)) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The first capture of `pattern` in the output, waiting up to `limit`.
  std::optional<std::string> WaitFor(const std::string& pattern, std::chrono::seconds limit) const {
    const std::regex re(pattern);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      std::smatch match;
      const std::string out = Slurp(outPath_);
      if (std::regex_search(out, match, re)) return match[1].str();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
  }

  // Waits for the end; the CPU seconds (user + system) it used, or nothing when it failed.
  std::optional<double> WaitCpuSeconds() {
    if (pid_ <= 0) return std::nullopt;
    int status = 0;
    rusage usage{};
    const pid_t done = wait4(pid_, &status, 0, &usage);
    pid_ = -1;
    if (done <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
  }

  std::string Output() const { return Slurp(outPath_); }

 private:
  std::string outPath_;
  pid_t pid_ = -1;
};

// The tiles of the replay loop, parsed once; their payloads view the loop's messages.
struct LoopTiles {
  std::unique_ptr<sim::ReplayLoop> loop;
  std::vector<TileRecord> tiles;
};

std::optional<LoopTiles> ParseLoop(sim::EncodingMode mode) {
  sim::StreamConfig config;
  config.scene = "motion";
  config.encoding = mode;
  config.width = kWidth;
  config.height = kHeight;
  config.replayFrames = kLoopFrames;
  std::string error;
  LoopTiles parsed;
  parsed.loop = sim::PreEncodeReplayLoop(config, error);
  if (!parsed.loop) return std::nullopt;
  std::vector<TileRecord> batch;
  for (const auto& frame : parsed.loop->frames) {
    for (const Bytes& message : frame) {
      if (message.empty()) continue;
      if (message[0] == static_cast<uint8_t>(VideoMessageType::Tile)) {
        if (auto tile = ParseTile(message)) parsed.tiles.push_back(*tile);
      } else if (message[0] == static_cast<uint8_t>(VideoMessageType::TileBatch)) {
        if (!ParseTileBatch(message, batch)) return std::nullopt;
        parsed.tiles.insert(parsed.tiles.end(), batch.begin(), batch.end());
      }
    }
  }
  return parsed;
}

// Which inflate the tight loop uses for zlib payloads.
enum class Inflater { kOurs, kZlib };

// Decodes every tile of the loop once with the decoder its encoding names: our inflate (as
// fast as zlib or faster) or zlib's for zlib payloads, palette tiles then expanded as the
// viewer does, and libwebp and TurboJPEG for images, each into a reused tile-sized buffer.
// False when a tile does not decode.
class TightDecoder {
 public:
  explicit TightDecoder(Inflater inflater) : inflater_(inflater), jpeg_(tjInitDecompress()) {
    zlibReady_ = inflateInit(&zlib_) == Z_OK;
  }
  ~TightDecoder() {
    tjDestroy(jpeg_);
    inflateEnd(&zlib_);
  }
  TightDecoder(const TightDecoder&) = delete;
  TightDecoder& operator=(const TightDecoder&) = delete;

  bool DecodeAll(const std::vector<TileRecord>& tiles) {
    for (const TileRecord& tile : tiles) {
      if (!Decode(tile)) return false;
      benchmark::DoNotOptimize(pixels_.data());
    }
    return true;
  }

 private:
  bool Decode(const TileRecord& tile) {
    const size_t size = static_cast<size_t>(tile.w) * tile.h * 4;
    switch (static_cast<TileEncoding>(tile.encoding)) {
      case TileEncoding::RawZlib:
        if (inflater_ == Inflater::kZlib) return ZlibInflate(tile.payload, pixels_, size) && pixels_.size() == size;
        return InflateZlib(tile.payload, pixels_, size) && pixels_.size() >= size;
      case TileEncoding::PaletteZlib:
        if (inflater_ == Inflater::kZlib) return ZlibPaletteTile(tile.payload, size / 4);
        return DecodePaletteTile(tile.payload, tile.w, tile.h, pixels_);
      case TileEncoding::CodecImage:
      case TileEncoding::CodecImageAlt:
        if (tile.payload.size() > 1 && tile.payload[0] == 0xFF && tile.payload[1] == 0xD8) {
          return size <= kMaxTileBytes &&
                 tjDecompress2(jpeg_, tile.payload.data(), tile.payload.size(), jpegPixels_.data(), tile.w, tile.w * 4,
                               tile.h, TJPF_BGRA, 0) == 0;
        }
        pixels_.resize(size);
        return WebPDecodeBGRAInto(tile.payload.data(), tile.payload.size(), pixels_.data(), size, tile.w * 4) !=
               nullptr;
      default: return false;
    }
  }

  // zlib's inflate of a whole stream into `out`, at most `limit` bytes; one reset per tile.
  bool ZlibInflate(std::span<const uint8_t> payload, Bytes& out, size_t limit) {
    out.resize(limit);
    if (!zlibReady_ || inflateReset(&zlib_) != Z_OK) return false;
    zlib_.next_in = const_cast<Bytef*>(payload.data());
    zlib_.avail_in = static_cast<uInt>(payload.size());
    zlib_.next_out = out.data();
    zlib_.avail_out = static_cast<uInt>(limit);
    if (inflate(&zlib_, Z_FINISH) != Z_STREAM_END) return false;
    out.resize(zlib_.total_out);
    return true;
  }

  // A palette tile inflated by zlib, then checked and expanded as the viewer does.
  bool ZlibPaletteTile(std::span<const uint8_t> payload, size_t pixels) {
    return ZlibInflate(payload, inflated_, pixels + 2 + kPaletteMaxEntries * 4) &&
           ExpandInflatedPaletteTile(inflated_, pixels, pixels_);
  }

  Inflater inflater_;
  tjhandle jpeg_;
  z_stream zlib_{};
  bool zlibReady_ = false;
  Bytes pixels_;
  Bytes inflated_;
  UnstreamedBuffer jpegPixels_{kMaxTileBytes};
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Adds the CPU seconds of three calls of `pass` to `seconds`. False when a call fails.
template <typename Pass>
bool TimePasses(Pass pass, std::vector<double>& seconds) {
  for (int i = 0; i < 3; ++i) {
    const double start = ThreadCpuSeconds();
    if (!pass()) return false;
    seconds.push_back(ThreadCpuSeconds() - start);
  }
  return true;
}

// The loop's messages through ApplyVideoMessage in this process: the viewer's work
// without the connection.
class LoopApplier {
 public:
  explicit LoopApplier(const sim::ReplayLoop& loop) : loop_(loop), picture_(&codec_) {}
  bool ApplyAll() {
    const uint64_t before = picture_.undecodable + picture_.malformed;
    for (const auto& frame : loop_.frames) {
      for (const Bytes& message : frame) ApplyVideoMessage(picture_, message);
    }
    return picture_.undecodable + picture_.malformed == before;
  }

 private:
  const sim::ReplayLoop& loop_;
  agent::SystemImageCodec codec_;
  SessionPicture picture_;
};

int SessionSeconds() {
  const char* text = std::getenv("STV_PIPELINE_SECONDS");
  const int seconds = text ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : 6;
}

std::optional<uint64_t> ReportNumber(const std::string& report, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(report, match, std::regex(pattern))) return std::nullopt;
  return std::stoull(match[1].str());
}

// What one session of the viewer cost, from its report and its resource use.
struct SessionRun {
  double cpuSeconds = 0;
  uint64_t frames = 0;
  uint64_t tiles = 0;
};

std::optional<SessionRun> RunSession(const std::string& dir, const char* encoding, int seconds, std::string& error) {
  Child agent(
      {STV_AGENT_PATH, "--port", "0", "--key", dir + "/device-key.pem", "--scene", "motion", "--size", "1920x1080",
       "--encoding", encoding, "--replay", "--replay-frames", std::to_string(kLoopFrames), "--fps", "240"},
      dir + "/agent.out");
  const auto port = agent.WaitFor(R"(listening on [^ ]+:(\d+)\n)", std::chrono::seconds(60));
  const auto id = agent.WaitFor(R"(device id: ([a-z2-7]+)\n)", std::chrono::seconds(5));
  if (!port || !id) {
    error = "the agent did not start";
    return std::nullopt;
  }
  Child viewer(
      {STV_VIEWER_PATH, "127.0.0.1", "--port", *port, "--pin", *id, "--headless", "--seconds", std::to_string(seconds)},
      dir + "/viewer.out");
  const auto cpu = viewer.WaitCpuSeconds();
  const std::string report = viewer.Output();
  const auto frames = ReportNumber(report, R"(frames/keyframes *: (\d+))");
  const auto tiles = ReportNumber(report, R"(tiles *: (\d+) painted, 0 undecodable)");
  if (!cpu || !frames || !tiles || *frames == 0) {
    error = "the session failed:\n" + report;
    return std::nullopt;
  }
  return SessionRun{*cpu, *frames, *tiles};
}

// Each iteration measures the tight loop and the in-process picture again before its
// session, so every ratio compares runs minutes, not hours, apart; the medians are reported.
void BM_Pipeline(benchmark::State& state, sim::EncodingMode mode, const char* encoding) {
  const auto parsed = ParseLoop(mode);
  if (!parsed || parsed->tiles.empty()) return state.SkipWithError("could not pre-encode the loop");
  TightDecoder decoder(Inflater::kOurs);
  TightDecoder zlibDecoder(Inflater::kZlib);
  const bool zlibTiles = mode == sim::EncodingMode::kRawZlib || mode == sim::EncodingMode::kPaletteZlib;
  LoopApplier applier(*parsed->loop);
  const std::string dir = std::filesystem::temp_directory_path() / ("stv-pipeline-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const int seconds = SessionSeconds();
  std::vector<double> decodeMs, applyMs, viewerMs, fps, ratios, zlibRatios;
  double tilesPerFrame = 0;
  std::string error;
  // The references are measured on both sides of the session, as the host's neighbours
  // come and go within seconds.
  std::vector<double> tightPasses, applyPasses, zlibPasses;
  const auto measureReferences = [&] {
    return TimePasses([&] { return decoder.DecodeAll(parsed->tiles); }, tightPasses) &&
           TimePasses([&] { return applier.ApplyAll(); }, applyPasses) &&
           (!zlibTiles || TimePasses([&] { return zlibDecoder.DecodeAll(parsed->tiles); }, zlibPasses));
  };
  for (auto _ : state) {
    tightPasses.clear();
    applyPasses.clear();
    zlibPasses.clear();
    if (!measureReferences()) return state.SkipWithError("a tile of the loop does not decode");
    const auto session = RunSession(dir, encoding, seconds, error);
    if (!session) return state.SkipWithError(error.c_str());
    if (!measureReferences()) return state.SkipWithError("a tile of the loop does not decode");
    const double tight = Median(tightPasses);
    const double viewerPerFrame = session->cpuSeconds / static_cast<double>(session->frames);
    decodeMs.push_back(tight / kLoopFrames * 1e3);
    applyMs.push_back(Median(applyPasses) / kLoopFrames * 1e3);
    viewerMs.push_back(viewerPerFrame * 1e3);
    fps.push_back(static_cast<double>(session->frames) / seconds);
    ratios.push_back(viewerPerFrame / (tight / kLoopFrames));
    if (zlibTiles) zlibRatios.push_back(viewerPerFrame / (Median(zlibPasses) / kLoopFrames));
    tilesPerFrame = static_cast<double>(session->tiles) / static_cast<double>(session->frames);
    state.SetIterationTime(session->cpuSeconds);
  }
  std::filesystem::remove_all(dir);
  state.counters["fps"] = Median(fps);
  state.counters["tiles_per_frame"] = tilesPerFrame;
  state.counters["viewer_ms_per_frame"] = Median(viewerMs);
  state.counters["decode_ms_per_frame"] = Median(decodeMs);
  state.counters["apply_ms_per_frame"] = Median(applyMs);
  state.counters["ratio"] = Median(ratios);
  if (zlibTiles) state.counters["ratio_zlib"] = Median(zlibRatios);
}

BENCHMARK_CAPTURE(BM_Pipeline, raw_zlib, sim::EncodingMode::kRawZlib, "raw-zlib")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Pipeline, palette_zlib, sim::EncodingMode::kPaletteZlib, "palette-zlib")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Pipeline, webp, sim::EncodingMode::kWebp, "webp")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Pipeline, jpeg, sim::EncodingMode::kJpeg, "jpeg")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace stv

BENCHMARK_MAIN();
