// Runs a real program for end-to-end tests: output goes to files the test can poll, every
// wait has a deadline, and a child left running is killed when the object goes away.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace stv::testing {

class Subprocess {
 public:
  // `outputStem` names the files that receive standard output and standard error.
  Subprocess(std::vector<std::string> argv, const std::string& outputStem)
      : outPath_(outputStem + ".out"), errPath_(outputStem + ".err") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Subprocess() {
    if (pid_ > 0 && !exitCode_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  bool started() const { return pid_ > 0; }
  std::string Out() const { return Slurp(outPath_); }
  std::string Err() const { return Slurp(errPath_); }

  // Waits until standard output matches `pattern`; returns the first capture group.
  std::optional<std::string> WaitForOutput(const std::string& pattern, std::chrono::milliseconds limit) {
    const std::regex re(pattern);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      std::smatch match;
      const std::string out = Out();
      if (std::regex_search(out, match, re)) return match.size() > 1 ? match[1].str() : match[0].str();
      if (std::chrono::steady_clock::now() > deadline || Exited()) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // The exit code (128 + signal for a killed child), or nothing when it is still running at the deadline.
  std::optional<int> Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!Exited()) {
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exitCode_;
  }

  void Signal(int signal) {
    if (pid_ > 0 && !exitCode_) ::kill(pid_, signal);
  }

 private:
  bool Exited() {
    if (exitCode_) return true;
    if (pid_ <= 0) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string outPath_;
  std::string errPath_;
  pid_t pid_ = -1;
  std::optional<int> exitCode_;
};

}  // namespace stv::testing
