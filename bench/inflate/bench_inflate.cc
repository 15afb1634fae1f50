// Inflate speed on screen-like tiles: ours against zlib's inflate and libdeflate (a
// ceiling), and palette tile decoding against the inflate it starts with. After the
// usual table, prints each ratio from times measured in this same run.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "protocol/tile_decompression.h"
#include "screen_content.h"

namespace {

using stv::bench::Content;

std::vector<uint8_t> Compress(const std::vector<uint8_t>& data, int level) {
  uLongf size = compressBound(uLong(data.size()));
  std::vector<uint8_t> out(size);
  compress2(out.data(), &size, data.data(), uLong(data.size()), level);
  out.resize(size);
  return out;
}

struct Sample {
  std::vector<uint8_t> plain;
  std::vector<uint8_t> compressed;
};

// One 256x256 tile of each kind; a tile this size is what a busy screen region sends.
Sample MakeSample(Content kind, int level) {
  std::mt19937 rng(42);
  Sample sample{stv::bench::ScreenPixels(kind, 256, 256, rng), {}};
  sample.compressed = Compress(sample.plain, level);
  return sample;
}

void SetBytes(benchmark::State& state, const Sample& sample) {
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sample.plain.size()));
  state.counters["ratio"] = double(sample.plain.size()) / double(sample.compressed.size());
}

void Ours(benchmark::State& state, Content kind, int level) {
  const Sample sample = MakeSample(kind, level);
  std::vector<uint8_t> out;
  for (auto _ : state) {
    if (!stv::InflateZlib(sample.compressed, out, sample.plain.size())) {
      state.SkipWithError("failed");
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (out != sample.plain) state.SkipWithError("wrong output");
  SetBytes(state, sample);
}

void Zlib(benchmark::State& state, Content kind, int level) {
  const Sample sample = MakeSample(kind, level);
  std::vector<uint8_t> out(sample.plain.size());
  for (auto _ : state) {
    uLongf size = uLongf(out.size());
    const uLong compressedSize = uLong(sample.compressed.size());
    if (uncompress(out.data(), &size, sample.compressed.data(), compressedSize) != Z_OK) {
      state.SkipWithError("failed");
    }
    benchmark::DoNotOptimize(out.data());
  }
  SetBytes(state, sample);
}

void Libdeflate(benchmark::State& state, Content kind, int level) {
  const Sample sample = MakeSample(kind, level);
  std::vector<uint8_t> out(sample.plain.size());
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  for (auto _ : state) {
    size_t size = 0;
    if (libdeflate_zlib_decompress(decompressor, sample.compressed.data(), sample.compressed.size(), out.data(),
                                   out.size(), &size) != LIBDEFLATE_SUCCESS) {
      state.SkipWithError("failed");
    }
    benchmark::DoNotOptimize(out.data());
  }
  libdeflate_free_decompressor(decompressor);
  SetBytes(state, sample);
}

// Palette tiles: text-like and flat-panel index patterns.
struct PaletteSample {
  int w, h;
  std::vector<uint8_t> compressed;
  size_t decodedSize;
};

PaletteSample MakePaletteSample(int size, int entries) {
  std::mt19937 rng(7);
  const auto payload = stv::bench::PaletteTilePayload(size, size, entries, rng);
  return {size, size, Compress(payload, 6), payload.size()};
}

void PaletteDecode(benchmark::State& state, int size, int entries) {
  const PaletteSample sample = MakePaletteSample(size, entries);
  std::vector<uint8_t> out;
  for (auto _ : state) {
    if (!stv::DecodePaletteTile(sample.compressed, sample.w, sample.h, out)) {
      state.SkipWithError("failed");
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * sample.w * sample.h);
}

// What DecodePaletteTile does before expanding: inflate into a fresh array with its hint.
void PaletteInflateOnly(benchmark::State& state, int size, int entries) {
  const PaletteSample sample = MakePaletteSample(size, entries);
  for (auto _ : state) {
    std::vector<uint8_t> decoded;
    const size_t hint = size_t(sample.w) * size_t(sample.h) + 1026;
    if (!stv::InflateZlib(sample.compressed, decoded, hint)) state.SkipWithError("failed");
    benchmark::DoNotOptimize(decoded.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * sample.w * sample.h);
}

std::string InflatePrefix(const char* kind, int level) {
  return std::string("Inflate/") + kind + "/level" + std::to_string(level);
}

const std::pair<const char*, Content> kKinds[] = {
    {"text", Content::Text}, {"ui", Content::Ui}, {"photo", Content::Photo}};

void RegisterAll() {
  for (auto [name, kind] : kKinds) {
    for (int level : {1, 6, 9}) {
      const std::string prefix = InflatePrefix(name, level);
      benchmark::RegisterBenchmark((prefix + "/ours").c_str(), Ours, kind, level);
      benchmark::RegisterBenchmark((prefix + "/zlib").c_str(), Zlib, kind, level);
      benchmark::RegisterBenchmark((prefix + "/libdeflate").c_str(), Libdeflate, kind, level);
    }
  }
  for (int size : {64, 256}) {
    for (int entries : {4, 64, 200}) {
      const std::string prefix =
          "Palette/" + std::to_string(size) + "x" + std::to_string(size) + "/p" + std::to_string(entries);
      benchmark::RegisterBenchmark((prefix + "/decode").c_str(), PaletteDecode, size, entries);
      benchmark::RegisterBenchmark((prefix + "/inflate").c_str(), PaletteInflateOnly, size, entries);
    }
  }
}

// Collects each benchmark's CPU time per iteration (steadier than wall time on a shared
// machine; the median when repeated) so that ratios come from this run alone.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Iteration && run.repetitions <= 1) {
        seconds_[run.run_name.str()] = run.GetAdjustedCPUTime();
      } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        seconds_[run.run_name.str()] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-32s %14s %14s\n", "inflate (time ratio)", "zlib/ours", "libdeflate/ours");
    for (auto [name, kind] : kKinds) {
      for (int level : {1, 6, 9}) {
        const std::string prefix = InflatePrefix(name, level);
        std::printf("%-32s %14.2f %14.2f\n", prefix.c_str(), Ratio(prefix + "/zlib", prefix + "/ours"),
                    Ratio(prefix + "/libdeflate", prefix + "/ours"));
      }
    }
    std::printf("\n%-32s %14s\n", "palette tile", "decode/inflate");
    for (const auto& [name, seconds] : seconds_) {
      const auto cut = name.rfind("/decode");
      if (name.rfind("Palette/", 0) != 0 || cut == std::string::npos) continue;
      const std::string prefix = name.substr(0, cut);
      std::printf("%-32s %14.2f\n", prefix.c_str(), Ratio(name, prefix + "/inflate"));
    }
  }

 private:
  double Ratio(const std::string& a, const std::string& b) const {
    const auto x = seconds_.find(a), y = seconds_.find(b);
    return x == seconds_.end() || y == seconds_.end() ? 0.0 : x->second / y->second;
  }

  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RegisterAll();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
