// How the decoding pool itself scales, with nothing else on the cores: a pre-encoded 4K
// full-motion loop of the agent's is applied through TileDecodePool in this process, with one
// decoding thread and with one per core, and "fps" is frames of the loop painted per second of
// wall time. The session benchmark (decode_pool_fps) shares the same cores with the agent and the
// viewer's reader; this is the pool's ceiling on this machine.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "codec/system_image_codec.h"
#include "protocol/tile_decode_pool.h"
#include "thread_cpu_time.h"
#include "video_source.h"

namespace stv {
namespace {

constexpr int kLoopFrames = 4;

// Encoded once per encoding, on first use: a 4K loop takes seconds to encode.
const sim::ReplayLoop* Loop(sim::EncodingMode mode) {
  static std::map<sim::EncodingMode, std::unique_ptr<sim::ReplayLoop>> loops;
  std::unique_ptr<sim::ReplayLoop>& loop = loops[mode];
  if (!loop) {
    sim::StreamConfig config;
    config.scene = "motion";
    config.encoding = mode;
    config.width = 3840;
    config.height = 2160;
    config.replayFrames = kLoopFrames;
    std::string error;
    loop = sim::PreEncodeReplayLoop(config, error);
  }
  return loop.get();
}

void BM_DecodePool(benchmark::State& state, sim::EncodingMode mode) {
  const sim::ReplayLoop* loop = Loop(mode);
  if (loop == nullptr) {
    state.SkipWithError("the loop could not be encoded");
    return;
  }
  const int threads = state.range(0) > 0 ? static_cast<int>(state.range(0)) : DecodeThreadCount();
  agent::SystemImageCodec codec;
  SessionPicture picture(&codec);
  std::mutex mutex;
  TileDecodePool pool(picture, mutex, threads);
  const double cpuBefore = ProcessCpuSeconds();
  for (auto _ : state) {
    for (const auto& frame : loop->frames) {
      for (const auto& message : frame) pool.Apply(std::vector<uint8_t>(message));
    }
    pool.Finish();
  }
  const double frames = static_cast<double>(state.iterations()) * kLoopFrames;
  state.counters["cpu_ms/frame"] = 1000 * (ProcessCpuSeconds() - cpuBefore) / frames;
  const std::lock_guard<std::mutex> lock(mutex);
  if (picture.undecodable + picture.malformed != 0) state.SkipWithError("a tile did not decode");
  state.counters["threads"] = threads;
  state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
}

// 0: one thread per core.
BENCHMARK_CAPTURE(BM_DecodePool, raw_zlib, sim::EncodingMode::kRawZlib)->Arg(1)->Arg(0)->UseRealTime();
BENCHMARK_CAPTURE(BM_DecodePool, webp, sim::EncodingMode::kWebp)->Arg(1)->Arg(0)->UseRealTime();
BENCHMARK_CAPTURE(BM_DecodePool, jpeg, sim::EncodingMode::kJpeg)->Arg(1)->Arg(0)->UseRealTime();

}  // namespace
}  // namespace stv
BENCHMARK_MAIN();
