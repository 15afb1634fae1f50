#include "codec/jxr_decoder_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "codec/image_limits.h"
#include "diag/log.h"

extern char** environ;

namespace stv::agent {
namespace {

using Clock = std::chrono::steady_clock;

bool WaitFor(int fd, short events, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  pollfd entry{fd, events, 0};
  return ::poll(&entry, 1, static_cast<int>(left)) == 1;
}

bool SendAll(int fd, const void* data, size_t size, Clock::time_point deadline) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent > 0) {
      bytes += sent;
      size -= static_cast<size_t>(sent);
    } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (sent < 0 && errno == EAGAIN && !WaitFor(fd, POLLOUT, deadline)) {
      return false;
    }
  }
  return true;
}

bool ReceiveAll(int fd, void* data, size_t size, Clock::time_point deadline) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t received = ::recv(fd, bytes, size, 0);
    if (received > 0) {
      bytes += received;
      size -= static_cast<size_t>(received);
    } else if (received == 0 || (errno != EAGAIN && errno != EINTR)) {
      return false;
    } else if (errno == EAGAIN && !WaitFor(fd, POLLIN, deadline)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string DefaultJxrDecoderPath() {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
  if (error) return "stv-jxr-decode";
  const std::filesystem::path beside = folder / "stv-jxr-decode";
  if (std::filesystem::exists(beside, error)) return beside;
  return (folder / STV_LIBEXEC_FROM_BIN / "stv-jxr-decode").lexically_normal();
}

bool JxrDecoderProcess::Decode(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  out.clear();
  if (!IsJxr(image) || !ImageSizeAllowed(width, height) || image.size() > kMaxJxrImageBytes) return false;
  if (pid_ < 0 && !Start()) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kDecodeTimeoutMs);
  const JxrDecodeRequest request{static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                                 static_cast<uint32_t>(image.size())};
  uint8_t answer = 0;
  if (SendAll(socket_, &request, sizeof request, deadline) && SendAll(socket_, image.data(), image.size(), deadline) &&
      ReceiveAll(socket_, &answer, 1, deadline)) {
    if (answer == 0) return false;  // refused the image, and waits for the next
    out.resize(ImageBytes(width, height));
    if (answer == 1 && ReceiveAll(socket_, out.data(), out.size(), deadline)) return true;
  }
  // Crashed, hung or answered nonsense: the next tile gets a fresh decoder.
  out.clear();
  Stop();
  return false;
}

bool JxrDecoderProcess::Start() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  // libjxr reports on standard error what it dislikes; the viewer's own output stays clean.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  char* argv[] = {const_cast<char*>(decoderPath_.c_str()), nullptr};
  const int failure = ::posix_spawn(&pid_, decoderPath_.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  if (failure != 0) {
    ::close(ends[0]);
    pid_ = -1;
    if (!warned_) {
      Logger::Instance().Warn("[codec] the JPEG XR decoder %s cannot start (%s); JPEG XR tiles will not decode",
                              decoderPath_.c_str(), std::strerror(failure));
    }
    warned_ = true;
    return false;
  }
  socket_ = ends[0];
  ::fcntl(socket_, F_SETFL, ::fcntl(socket_, F_GETFL) | O_NONBLOCK);
  return true;
}

void JxrDecoderProcess::Stop() {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
  }
  pid_ = -1;
}

}  // namespace stv::agent
