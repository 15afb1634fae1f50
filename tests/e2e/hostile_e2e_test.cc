// Hostile but well-formed streams: an agent that floods fragments, announces the largest
// picture, sends a batch of empty tiles or fills an ignored channel. The viewer must stay
// responsive (a status line every second), end on time with its report, and keep its
// memory within the bounds its limits promise.
#include "agent_session.h"

// Sanitizers multiply memory and slow the zeroing of large buffers, so their builds check
// responsiveness and counters only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STV_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STV_SANITIZED 1
#endif
#endif

namespace stv::testing {
namespace {

constexpr int kSeconds = 3;
[[maybe_unused]] constexpr long kPeakRssLimitMb = 100;  // checked in the plain build

// A counter of the report, e.g. Counter(out, R"(messages +: \d+ \((\d+) malformed\))").
std::optional<uint64_t> Counter(const std::string& out, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(out, match, std::regex(pattern))) return std::nullopt;
  return std::stoull(match[1].str());
}

struct HostileCase {
  const char* fault;
  bool tls;
  uint64_t undecodable;   // tiles the viewer could not paint
  bool malformedCounted;  // at least one message refused by the limits
};

class HostileStream : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileStream, ViewerStaysResponsiveAndBounded) {
  const HostileCase& param = GetParam();
  const TempDir dir;
  // The agent streams until the viewer leaves, so the run ends only if the viewer ends it.
  Agent agent(dir, {"--fault", param.fault, "--scene", "desktop", "--size", "640x360", "--fragment-threshold", "16000"},
              param.tls);
  ASSERT_TRUE(agent.ready()) << agent.process.Err();
  const ViewerRun run =
      RunViewer(dir, agent.Session({"--token", "hostile", "--headless", "--seconds", std::to_string(kSeconds)}));
  const std::string& out = run.out;

  // Responsive: one status line each second, the report, the verdict, then the end.
  std::vector<std::string> seconds;
  for (const auto& line : StatusLines(out)) seconds.push_back(line[0]);
  EXPECT_EQ(seconds, (std::vector<std::string>{"1", "2", "3"})) << out;  // one a second for kSeconds

  const auto malformed = Counter(out, R"(\nmessages +: \d+ \((\d+) malformed\))");
  const auto painted = Counter(out, R"(\ntiles +: (\d+) painted)");
  const auto undecodable = Counter(out, R"(\ntiles +: \d+ painted, (\d+) undecodable)");
  ASSERT_TRUE(malformed && painted && undecodable) << out;
  EXPECT_GT(*painted, 0u) << "the good stream goes on around the hostile traffic";
  EXPECT_EQ(*undecodable, param.undecodable) << out;
  // The verdict follows the counters whatever the pace of the run.
  const bool clean = *malformed == 0 && *undecodable == 0;
  const std::string verdict = clean ? "\nHEADLESS SESSION OK\n" : "\nHEADLESS SESSION FAILED\n";
  const size_t at = out.find(verdict);
  ASSERT_NE(at, std::string::npos) << out;
  // A transport still busy with an 8 MiB frame may log its close after the verdict.
  static const std::regex closingLog(R"((\d{4}-\d\d-\d\d [\d:.]+ [A-Z]+ \[transport\] [^\n]*\n)*)");
  EXPECT_TRUE(std::regex_match(out.substr(at + verdict.size()), closingLog)) << out;
  EXPECT_EQ(run.exitCode, clean ? 0 : 1) << out;
  EXPECT_EQ(*malformed > 0, param.malformedCounted) << out;

  std::printf("peak RSS of stv-view under %s%s: %ld KiB\n", param.fault, param.tls ? " (TLS)" : "", run.peakRssKb);
#ifndef STV_SANITIZED
  EXPECT_LT(run.peakRssKb, kPeakRssLimitMb * 1024) << "peak RSS in KiB";
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HostileStream,
    ::testing::Values(
        // Beyond 256 MiB of pending fragments new ones are refused, so some are malformed.
        // What is announced but never sent costs no memory.
        HostileCase{"fragment-flood", false, 0, true}, HostileCase{"fragment-flood", true, 0, true},
        // Refused by the picture size limit: malformed, and the picture stays as it was.
        HostileCase{"huge-frame", false, 0, true}, HostileCase{"empty-tile-batch", false, 65535, false},
        HostileCase{"max-frames", false, 0, false}, HostileCase{"max-frames", true, 0, false}),
    [](const auto& info) { return FaultTestName(info.param.fault, info.param.tls ? "Tls" : "Plaintext"); });

}  // namespace
}  // namespace stv::testing
