// Framing cost per message: building a frame (header + payload copy) and decoding its header,
// against a bare copy of the same bytes, so the overhead of framing itself shows as a ratio.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "transport/frame.h"

namespace {

using stv::agent::Channel;

std::vector<uint8_t> Payload(size_t size) {
  std::vector<uint8_t> payload(size);
  for (size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(i * 31);
  return payload;
}

void BM_BareCopy(benchmark::State& state) {
  const auto payload = Payload(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(payload.size() + stv::agent::kFrameHeaderSize);
  for (auto _ : state) {
    std::memcpy(out.data() + stv::agent::kFrameHeaderSize, payload.data(), payload.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_BuildAndDecodeFrame(benchmark::State& state) {
  const auto payload = Payload(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> frame;
  for (auto _ : state) {
    stv::agent::BuildFrame(Channel::Video, payload, frame);
    const auto header =
        stv::agent::DecodeFrameHeader(std::span<const uint8_t, stv::agent::kFrameHeaderSize>(frame.data(), 5));
    benchmark::DoNotOptimize(header);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// A pointer move (about 400 bytes of JSON), a full fragment, a large tile batch.
BENCHMARK(BM_BareCopy)->Arg(400)->Arg(16384)->Arg(1 << 20);
BENCHMARK(BM_BuildAndDecodeFrame)->Arg(400)->Arg(16384)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
