// Control-message encoding and decoding, each against a reference measured in the same
// run: encoding against one snprintf call that prints the same 38 members, decoding
// against inserting the same members into a map of strings. The table ends with the
// ratios (ours / reference; lower is better).

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "json/json.h"
#include "protocol/control_message.h"

namespace stv {
namespace {

ControlMessage PointerMove() {
  ControlMessage m = MakeControlMessage(ControlKind::Pointer);
  m.x = 32123;
  m.y = 40555;
  return m;
}

// A Monitors message as the agent sends it: every key present, most at their defaults.
std::string MonitorsText() {
  ControlMessage m = MakeControlMessage(ControlKind::Monitors);
  m.count = 2;
  m.index = 1;
  return EncodeControlMessage(m);
}

// A Clipboard message carrying a paragraph of mixed text.
std::string ClipboardText() {
  ControlMessage m = MakeControlMessage(ControlKind::Clipboard);
  std::string data;
  for (int i = 0; i < 8; ++i) data += "Grüße aus Köln: \"order\" #1234 <ok>\r\n";
  m.data = data;
  return EncodeControlMessage(m);
}

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

void BM_EncodePointer(benchmark::State& state) {
  const ControlMessage m = PointerMove();
  for (auto _ : state) {
    std::string text = EncodeControlMessage(m);
    benchmark::DoNotOptimize(text.data());
  }
}

// What a straightforward encoder would do: one formatted print into a buffer, then a
// string of it.
void BM_EncodePointer_Reference(benchmark::State& state) {
  const ControlMessage m = PointerMove();
  char buffer[1024];
  for (auto _ : state) {
    const int length = std::snprintf(buffer, sizeof(buffer),
                                     "{\"t\":%d,\"s\":null,\"vk\":%d,\"down\":%s,\"x\":%d,\"y\":%d,\"btn\":null,"
                                     "\"wheel\":%d,\"hwheel\":%d,\"mime\":null,\"data\":null,\"kbps\":%d,\"fps\":%d,"
                                     "\"lossPermille\":%d,\"rttMs\":%d,\"preset\":null,\"gray\":%s,\"vw\":%d,\"vh\":%d,"
                                     "\"index\":%d,\"count\":%d,\"show\":%s,\"shape\":null,\"reqId\":null,\"url\":null,"
                                     "\"name\":null,\"run\":%s,\"ok\":%s,\"error\":null,\"path\":null,\"on\":%s,"
                                     "\"pub\":null,\"port\":%d,\"user\":null,\"fp\":null,\"expires\":%lld,\"cmd\":null,"
                                     "\"hostKey\":null}",
                                     m.t, m.vk, m.down ? "true" : "false", m.x, m.y, m.wheel, m.hwheel, m.kbps, m.fps,
                                     m.lossPermille, m.rttMs, m.gray ? "true" : "false", m.vw, m.vh, m.index, m.count,
                                     m.show ? "true" : "false", m.run ? "true" : "false", m.ok ? "true" : "false",
                                     m.on ? "true" : "false", m.port, static_cast<long long>(m.expires));
    std::string text(buffer, static_cast<size_t>(length));
    benchmark::DoNotOptimize(text.data());
  }
}

void Decode(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    std::optional<ControlMessage> m = DecodeControlMessage(Bytes(text));
    benchmark::DoNotOptimize(&m);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The floor for any decoder that hands out an owned key -> value tree: the same members,
// split beforehand, inserted into a map of strings. What is left between this and
// decoding is tokenising, unescaping, number conversion and filling the record.
void BuildMap(benchmark::State& state, const std::string& text) {
  const std::optional<JsonValue> parsed = ParseJson(text);
  std::vector<std::pair<std::string, std::string>> members;
  for (const auto& [key, value] : parsed->object) {
    members.emplace_back(key, value.type == JsonType::String ? value.string : "0");
  }
  for (auto _ : state) {
    std::map<std::string, std::string> tree;
    for (const auto& [key, value] : members) tree.emplace(key, value);
    benchmark::DoNotOptimize(&tree);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_DecodeMonitors(benchmark::State& state) { Decode(state, MonitorsText()); }
void BM_DecodeMonitors_Reference(benchmark::State& state) { BuildMap(state, MonitorsText()); }
void BM_DecodeClipboard(benchmark::State& state) { Decode(state, ClipboardText()); }
void BM_DecodeClipboard_Reference(benchmark::State& state) { BuildMap(state, ClipboardText()); }

BENCHMARK(BM_EncodePointer);
BENCHMARK(BM_EncodePointer_Reference);
BENCHMARK(BM_DecodeMonitors);
BENCHMARK(BM_DecodeMonitors_Reference);
BENCHMARK(BM_DecodeClipboard);
BENCHMARK(BM_DecodeClipboard_Reference);

// Prints the usual table, then each benchmark's CPU time relative to its "_Reference"
// twin; CPU time keeps the ratio steady on a machine shared with other work.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      nanoseconds_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const std::string suffix = "_Reference";
    for (const auto& [name, time] : nanoseconds_) {
      if (name.ends_with(suffix)) continue;
      const auto reference = nanoseconds_.find(name + suffix);
      if (reference == nanoseconds_.end() || reference->second <= 0) continue;
      std::printf("ratio %-24s %6.2f x reference\n", name.c_str(), time / reference->second);
    }
    std::fflush(stdout);
  }

 private:
  std::map<std::string, double> nanoseconds_;
};

}  // namespace
}  // namespace stv

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  stv::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
