// What one present costs the window without a GPU, part by part, for a 1920 x 1080 picture
// shown at 1280 x 720: scaling it whole, and, for comparison with the rows blend that
// replaced it, copying the whole picture out.

#include <algorithm>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "thread_cpu_time.h"
#include "window/picture_scaler.h"

namespace stv {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kShownWidth = 1280;
constexpr int kShownHeight = 720;

std::vector<uint8_t> Picture() {
  std::vector<uint8_t> pixels(size_t{kWidth} * kHeight * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>((i * 37) ^ (i >> 11));
  return pixels;
}

// Both passes over the whole picture: the rows blend, which the window computes under the
// picture's mutex in place of a copy, and the columns.
void BM_ScaleWhole(benchmark::State& state) {
  const std::vector<uint8_t> source = Picture();
  const size_t stride = size_t{kWidth} * 4;
  std::vector<uint8_t> blended(stride * kShownHeight + 4);
  std::vector<uint8_t> shown(size_t{kShownWidth} * kShownHeight * 4);
  PictureScaler scaler;
  scaler.Prepare(kWidth, kHeight, kShownWidth, kShownHeight);
  double rowsSeconds = 0;
  for (auto _ : state) {
    const double start = ThreadCpuSeconds();
    scaler.BlendRows(source.data(), stride, {0, 0, kWidth, kShownHeight}, blended.data(), stride);
    rowsSeconds += ThreadCpuSeconds() - start;
    scaler.ScaleColumns(blended.data(), stride, {0, 0, kShownWidth, kShownHeight}, shown.data(),
                        size_t{kShownWidth} * 4);
    benchmark::DoNotOptimize(shown.data());
  }
  state.counters["rows_us"] = 1e6 * rowsSeconds / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ScaleWhole)->Unit(benchmark::kMicrosecond);

// The copy the window takes under the picture's mutex when everything changed.
void BM_CopyWhole(benchmark::State& state) {
  const std::vector<uint8_t> source = Picture();
  std::vector<uint8_t> copy(source.size());
  for (auto _ : state) {
    std::copy(source.begin(), source.end(), copy.begin());
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_CopyWhole)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace stv

BENCHMARK_MAIN();
