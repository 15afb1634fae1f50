#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

extern char** environ;

namespace stv::testing {
namespace {

std::vector<std::string> ChildEnvironment(const LaunchPlan& plan) {
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> dropped = plan.unsetEnv;
  for (const auto& entry : plan.setEnv) dropped.push_back(nameOf(entry));
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    if (std::find(dropped.begin(), dropped.end(), nameOf(*entry)) == dropped.end()) environment.emplace_back(*entry);
  }
  environment.insert(environment.end(), plan.setEnv.begin(), plan.setEnv.end());
  return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

LaunchPlan PlanWithOutput(std::vector<std::string> argv, const std::string& stem) {
  LaunchPlan plan;
  plan.argv = std::move(argv);
  plan.stdoutPath = stem + ".out";
  plan.stderrPath = stem + ".err";
  return plan;
}

bool ChildProcess::Start(const LaunchPlan& plan, std::string& error) {
  Kill();
  exitCode_.reset();
  stdoutPath_ = plan.stdoutPath;
  stderrPath_ = plan.stderrPath;
  constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (plan.stdinFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, plan.stdinFd, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, plan.stdoutPath.c_str(), kWrite, 0644);
  if (plan.stderrPath == plan.stdoutPath) {
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, plan.stderrPath.c_str(), kWrite, 0644);
  }
  std::vector<std::string> argv = plan.argv;
  std::vector<std::string> environment = ChildEnvironment(plan);
  const int result =
      posix_spawnp(&pid_, argv.at(0).c_str(), &actions, nullptr, Pointers(argv).data(), Pointers(environment).data());
  posix_spawn_file_actions_destroy(&actions);
  if (result == 0) return true;
  pid_ = -1;
  error = "cannot start " + argv[0] + ": " + std::strerror(result);
  return false;
}

bool ChildProcess::Reap(int flags) {
  int status = 0;
  rusage usage{};
  if (pid_ <= 0 || wait4(pid_, &status, flags, &usage) != pid_) return false;
  pid_ = -1;
  peakRssKb_ = usage.ru_maxrss;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ > 0) PollUntil([&] { return exitCode_ || Reap(WNOHANG); }, timeout);
  return exitCode_;
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  Reap(0);
}

std::string ChildProcess::Out() const { return ReadFile(stdoutPath_); }
std::string ChildProcess::Err() const { return ReadFile(stderrPath_); }

std::optional<std::string> ChildProcess::WaitForOutput(const std::string& pattern, std::chrono::milliseconds timeout) {
  const std::regex re(pattern);
  std::optional<std::string> found;
  PollUntil(
      [&] {
        const bool ended = exitCode_ || Reap(WNOHANG);
        std::smatch match;
        const std::string out = Out();
        if (std::regex_search(out, match, re)) found = match[match.size() > 1 ? 1 : 0].str();
        return found || ended;
      },
      timeout);
  return found;
}

CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  TempDir dir;
  ChildProcess child;
  CommandResult result;
  if (!child.Start(PlanWithOutput(argv, dir / "command"), result.errors)) return result;
  const auto code = child.Wait(timeout);
  result.exitCode = code.value_or(-1);
  result.output = child.Out();
  result.errors = code ? child.Err() : argv[0] + " timed out";
  return result;
}

bool ProgramOnPath(const std::string& program) {
  std::stringstream folders(std::getenv("PATH") ? std::getenv("PATH") : "");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  const std::string contents = ReadFile(path);
  return {contents.begin(), contents.end()};
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "stv-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace stv::testing
