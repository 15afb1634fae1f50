// Hostile but well-formed streams: an agent that floods fragments, announces the largest
// picture, sends a batch of empty tiles or fills an ignored channel. The viewer must stay
// responsive (a status line every second), end on time with its report, and keep its
// memory within the bounds its limits promise.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <regex>
#include <thread>

#include "agent_session.h"

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
// Sanitizers multiply memory and slow the zeroing of large buffers, so their builds check
// responsiveness and counters only.
#ifdef STV_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// A viewer run with its peak resident memory, taken from the kernel's accounting of the
// child, so nothing is missed between samples.
struct MeasuredRun {
  int exitCode = -1;
  long peakRssKb = 0;
  std::chrono::milliseconds took{0};
  std::string out;
};

MeasuredRun RunViewerMeasured(const std::string& dir, std::vector<std::string> arguments,
                              std::chrono::seconds limit) {
  std::vector<std::string> argv = {ViewerPath()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const std::string outPath = dir + "/viewer.out";
  const std::string errPath = dir + "/viewer.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const auto start = std::chrono::steady_clock::now();
  const bool spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  MeasuredRun run;
  if (!spawned) {
    ADD_FAILURE() << "could not start " << argv[0];
    return run;
  }
  int status = 0;
  rusage usage{};
  for (;;) {
    if (::wait4(pid, &status, WNOHANG, &usage) == pid) break;
    if (std::chrono::steady_clock::now() - start > limit) {
      ADD_FAILURE() << "stv-view did not end within " << limit.count() << " s";
      ::kill(pid, SIGKILL);
      ::wait4(pid, &status, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.peakRssKb = usage.ru_maxrss;
  std::ifstream in(outPath, std::ios::binary);
  run.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return run;
}

// The seconds of the status lines, in order.
std::vector<int> StatusSeconds(const std::string& out) {
  static const std::regex status(R"(\n  t\+(\d+)s  \d+x\d+  \d+ frames  \d+ tiles  \d+ beats  \d+ KB)");
  std::vector<int> seconds;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), status); it != std::sregex_iterator(); ++it) {
    seconds.push_back(std::stoi((*it)[1].str()));
  }
  return seconds;
}

// A counter of the report, e.g. Counter(out, R"(messages +: \d+ \((\d+) malformed\))").
std::optional<uint64_t> Counter(const std::string& out, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(out, match, std::regex(pattern))) return std::nullopt;
  return std::stoull(match[1].str());
}

struct HostileCase {
  const char* fault;
  bool tls;
  uint64_t undecodable;      // tiles the viewer could not paint
  bool malformedCounted;     // at least one message refused by the limits
  bool slowUnderSanitizers;  // the refusals may not come within the run in a sanitizer build
  long peakRssLimitMb;       // for the plain build
};

class HostileStream : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileStream, ViewerStaysResponsiveAndBounded) {
  const HostileCase& param = GetParam();
  const std::string dir = ScratchDir();
  Agent agent = Agent::Start(dir, {"--fault", param.fault, "--scene", "desktop", "--size", "640x360",
                                   "--fragment-threshold", "16000", "--seconds", "30"},
                             param.tls);
  ASSERT_TRUE(agent.ready(param.tls)) << agent.process->Err();
  std::vector<std::string> arguments = {"127.0.0.1", "--port", agent.port, "--headless", "--seconds",
                                        std::to_string(kSeconds)};
  if (param.tls) {
    arguments.insert(arguments.end(), {"--pin", agent.deviceId, "--token", "hostile"});
  } else {
    arguments.push_back("--insecure-plaintext");
  }
  const MeasuredRun run = RunViewerMeasured(dir, arguments, std::chrono::seconds(60));
  const std::string& out = run.out;

  // Responsive: one status line each second, the report, the verdict, then the end.
  std::vector<int> expected;
  for (int second = 1; second <= kSeconds; ++second) expected.push_back(second);
  EXPECT_EQ(StatusSeconds(out), expected) << out;
  EXPECT_LT(run.took, std::chrono::seconds(kSeconds + 10)) << "the run must end soon after its seconds";

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
  if (!param.malformedCounted) {
    EXPECT_EQ(*malformed, 0u) << out;
  } else if (!param.slowUnderSanitizers || !kSanitized) {
    EXPECT_GT(*malformed, 0u) << out;
    EXPECT_FALSE(clean);
  }

  std::printf("peak RSS of stv-view under %s%s: %ld KiB\n", param.fault, param.tls ? " (TLS)" : "",
              run.peakRssKb);
  if (!kSanitized) {
    EXPECT_LT(run.peakRssKb, param.peakRssLimitMb * 1024) << "peak RSS in KiB";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HostileStream,
    ::testing::Values(
        // Beyond 256 MiB of pending fragments new ones are refused, so some are malformed.
        HostileCase{"fragment-flood", false, 0, true, true, 600},
        HostileCase{"fragment-flood", true, 0, true, true, 600},
        // Refused by the picture size limit: malformed, and the picture stays as it was.
        HostileCase{"huge-frame", false, 0, true, false, 100},
        HostileCase{"empty-tile-batch", false, 65535, false, false, 100},
        HostileCase{"max-frames", false, 0, false, false, 100},
        HostileCase{"max-frames", true, 0, false, false, 100}),
    [](const auto& info) {
      std::string name = info.param.fault;
      std::erase(name, '-');
      return name + (info.param.tls ? "Tls" : "Plaintext");
    });

}  // namespace
}  // namespace stv::testing
