// Programs run by the tests: output in files the test can poll, every wait bounded by a
// deadline, and nothing left running behind. Also the small file helpers those tests share.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace stv::testing {

// The bound on every wait of a test: only a hang reaches it, never a slow, loaded or sanitized run.
inline constexpr std::chrono::seconds kPatience{30};

struct LaunchPlan {
  std::vector<std::string> argv;      // argv[0] is looked up on PATH when it holds no slash
  std::vector<std::string> setEnv;    // NAME=VALUE, replacing any inherited value
  std::vector<std::string> unsetEnv;  // names dropped from the inherited environment
  std::string stdoutPath = "/dev/null";
  std::string stderrPath = "/dev/null";  // the same path as stdoutPath shares the one file
  int stdinFd = -1;                      // otherwise /dev/null
};

// `argv` with standard output and error in `stem`.out and `stem`.err.
LaunchPlan PlanWithOutput(std::vector<std::string> argv, const std::string& stem);

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Kill(); }

  // False with `error` when the program cannot be started.
  bool Start(const LaunchPlan& plan, std::string& error);
  // The exit code (128 + signal for a signal), or nothing while still running at the deadline.
  std::optional<int> Wait(std::chrono::milliseconds timeout = kPatience);
  void Signal(int signal);
  // Kills and reaps a child that still runs.
  void Kill();
  pid_t Pid() const { return pid_; }
  // The child's peak resident memory in KiB, known once Wait has reaped it.
  long PeakRssKb() const { return peakRssKb_; }

  std::string Out() const;
  std::string Err() const;
  // Polls standard output until it matches `pattern`; the first capture group (or the whole
  // match). Nothing at the deadline or once the child has ended without a match.
  std::optional<std::string> WaitForOutput(const std::string& pattern, std::chrono::milliseconds timeout = kPatience);

 private:
  bool Reap(int flags);

  pid_t pid_ = -1;
  std::optional<int> exitCode_;
  long peakRssKb_ = 0;
  std::string stdoutPath_;
  std::string stderrPath_;
};

struct CommandResult {
  int exitCode = -1;  // -1: could not run or timed out
  std::string output;
  std::string errors;
};

// Runs a short command to completion, for at most `timeout`.
CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = kPatience);
// `sh -c script`, for pipelines of command-line tools.
inline CommandResult RunShell(const std::string& script) { return RunCommand({"sh", "-c", script}); }

bool ProgramOnPath(const std::string& program);

// The whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
std::vector<uint8_t> ReadFileBytes(const std::string& path);

// A fresh folder under the temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Polls `condition` every 20 ms until it holds or `timeout` passes; its last answer.
template <typename Condition>
bool PollUntil(Condition condition, std::chrono::milliseconds timeout = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace stv::testing
