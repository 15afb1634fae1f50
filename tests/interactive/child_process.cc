#include "interactive/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

// A temporary file, removed when this goes.
struct TempFile {
  TempFile() {
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
  }
  ~TempFile() { unlink(path); }
  char path[32] = "/tmp/stv-command-XXXXXX";
};

}  // namespace

bool ChildProcess::Start(const LaunchPlan& plan, std::string& error) {
  Kill();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, plan.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, plan.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (plan.passFd >= 0) posix_spawn_file_actions_adddup2(&actions, plan.passFd, 3);
  std::vector<std::string> argv = plan.argv;
  std::vector<std::string> environment = ChildEnvironment(plan);
  const int result = posix_spawnp(&pid_, argv.at(0).c_str(), &actions, nullptr, Pointers(argv).data(),
                                  Pointers(environment).data());
  posix_spawn_file_actions_destroy(&actions);
  if (result == 0) return true;
  pid_ = -1;
  error = "cannot start " + argv[0] + ": " + std::strerror(result);
  return false;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  int status = 0;
  if (pid_ <= 0 || !PollUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) return std::nullopt;
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& setEnv,
                         std::chrono::milliseconds timeout) {
  TempFile output;
  TempFile errors;
  LaunchPlan plan;
  plan.argv = argv;
  plan.setEnv = setEnv;
  plan.stdoutPath = output.path;
  plan.stderrPath = errors.path;
  ChildProcess child;
  CommandResult result;
  if (!child.Start(plan, result.errors)) return result;
  const auto code = child.Wait(timeout);
  result.exitCode = code.value_or(-1);
  result.output = ReadFile(output.path);
  result.errors = code ? ReadFile(errors.path) : argv[0] + " timed out";
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

}  // namespace stv::testing
