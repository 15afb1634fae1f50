// Child processes for the end-to-end tests: output in files, waits with a deadline, and
// nothing left running behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace stv::testing {

struct LaunchPlan {
  std::vector<std::string> argv;
  std::vector<std::string> setEnv;    // NAME=VALUE, replacing any inherited value
  std::vector<std::string> unsetEnv;  // names dropped from the inherited environment
  std::string stdoutPath = "/dev/null";
  std::string stderrPath = "/dev/null";
  int passFd = -1;  // kept by the child as fd 3
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Kill(); }

  // False with `error` when the program cannot be started.
  bool Start(const LaunchPlan& plan, std::string& error);
  // The exit code (128 + signal for a signal), or nothing while still running at the deadline.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // Kills and reaps a child that still runs.
  void Kill();
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

struct CommandResult {
  int exitCode = -1;  // -1: could not run or timed out
  std::string output;
  std::string errors;
};

// Runs a short command to completion, for at most `timeout`.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& setEnv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

bool ProgramOnPath(const std::string& program);

// The whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Polls `condition` every 20 ms until it holds or `timeout` passes; its last answer.
template <typename Condition>
bool PollUntil(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace stv::testing
