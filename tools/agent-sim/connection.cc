#include "connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "secure/socket_io.h"

namespace stv::sim {
namespace {

// Lock-free, so setting it from a signal handler is safe.
std::atomic<bool> gStop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnStopSignal(int) { gStop.store(true); }

// How long one wait lasts before the stop flags are looked at again.
constexpr int kWaitSliceMs = 100;

bool WaitFor(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  // An interrupting signal counts as a time-out, so the caller looks at its flags again.
  return ::poll(&entry, 1, timeoutMs) > 0;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class PlainConnection final : public Connection {
 public:
  explicit PlainConnection(Socket socket) : socket_(std::move(socket)) {}

  bool Send(std::span<const uint8_t> data, const StopFlag& stop) override {
    return SendOnSocket(socket_.fd(), data, stop);
  }
  bool SendGathered(std::span<const std::span<const uint8_t>> pieces, const StopFlag& stop) override {
    return SendGatheredOnSocket(socket_.fd(), pieces, stop);
  }

  IoStatus Receive(uint8_t* buffer, size_t capacity, int timeoutMs, size_t& received) override {
    if (!WaitReadable(socket_.fd(), timeoutMs)) return IoStatus::kTimedOut;
    switch (agent::ReceiveSome(socket_.fd(), buffer, capacity, received)) {
      case agent::ReceiveStatus::kData: return IoStatus::kData;
      case agent::ReceiveStatus::kTimedOut: return IoStatus::kTimedOut;
      case agent::ReceiveStatus::kClosed: return IoStatus::kClosed;
      case agent::ReceiveStatus::kError: break;
    }
    return IoStatus::kError;
  }

  void Close() override { ::shutdown(socket_.fd(), SHUT_WR); }
  int fd() const override { return socket_.fd(); }

 private:
  Socket socket_;
};

}  // namespace

void RaiseGlobalStop() { gStop.store(true); }
bool GlobalStopRaised() { return gStop.load(); }

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

Socket::~Socket() {
  if (fd_ >= 0) ::close(fd_);
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Socket ListenTcp(const std::string& address, uint16_t port, std::string& error) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof *v4;
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof *v6;
  } else {
    error = "not a numeric address: " + address;
    return Socket();
  }
  Socket socket(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
  if (!socket.valid()) {
    error = std::string("socket failed: ") + std::strerror(errno);
    return Socket();
  }
  const int one = 1;
  ::setsockopt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(socket.fd(), 8) != 0) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return Socket();
  }
  return socket;
}

uint16_t LocalPort(const Socket& socket) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  if (storage.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
}

Socket AcceptConnection(const Socket& listener, const StopFlag& stop) {
  while (!stop.raised()) {
    if (!WaitReadable(listener.fd(), kWaitSliceMs)) continue;
    Socket accepted(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!accepted.valid()) continue;
    const int one = 1;
    ::setsockopt(accepted.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return accepted;
  }
  return Socket();
}

bool Connection::SendGathered(std::span<const std::span<const uint8_t>> pieces, const StopFlag& stop) {
  size_t size = 0;
  for (const std::span<const uint8_t> piece : pieces) size += piece.size();
  std::vector<uint8_t> whole;
  whole.reserve(size);
  for (const std::span<const uint8_t> piece : pieces) whole.insert(whole.end(), piece.begin(), piece.end());
  return Send(whole, stop);
}

bool WaitReadable(int fd, int timeoutMs) { return WaitFor(fd, POLLIN, timeoutMs); }
bool WaitWritable(int fd, int timeoutMs) { return WaitFor(fd, POLLOUT, timeoutMs); }

bool SendOnSocket(int fd, std::span<const uint8_t> data, const StopFlag& stop) {
  return SendGatheredOnSocket(fd, std::span(&data, 1), stop);
}

bool SendGatheredOnSocket(int fd, std::span<const std::span<const uint8_t>> pieces, const StopFlag& stop) {
  // Few pieces per call: the kernel copies the whole list in each time, and a call rarely
  // gets rid of more than the socket's buffer anyway.
  constexpr size_t kPiecesPerCall = 64;
  std::vector<iovec> list;
  list.reserve(kPiecesPerCall);
  size_t next = 0;  // the first piece not wholly sent, and how much of it is
  size_t done = 0;
  int64_t lastProgress = NowMs();
  for (;;) {
    while (next < pieces.size() && done == pieces[next].size()) {
      ++next;
      done = 0;
    }
    if (next == pieces.size()) return true;
    if (stop.raised()) return false;
    list.clear();
    for (size_t i = next; i < pieces.size() && list.size() < kPiecesPerCall; ++i) {
      const size_t skip = i == next ? done : 0;
      list.push_back({const_cast<uint8_t*>(pieces[i].data() + skip), pieces[i].size() - skip});
    }
    msghdr message{};
    message.msg_iov = list.data();
    message.msg_iovlen = list.size();
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n > 0) {
      for (auto left = static_cast<size_t>(n); left > 0; ++next, done = 0) {
        const size_t rest = pieces[next].size() - done;
        if (left < rest) {
          done += left;
          break;
        }
        left -= rest;
      }
      lastProgress = NowMs();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (NowMs() - lastProgress > kSendStallMs) return false;
      WaitWritable(fd, kWaitSliceMs);
      continue;
    }
    return false;
  }
}

IoStatus ReceiveExact(Connection& connection, uint8_t* buffer, size_t size, const StopFlag& stop, int deadlineMs) {
  const int64_t start = NowMs();
  size_t filled = 0;
  while (filled < size) {
    if (stop.raised()) return IoStatus::kClosed;
    if (deadlineMs > 0 && NowMs() - start >= deadlineMs) return IoStatus::kTimedOut;
    size_t received = 0;
    const IoStatus status = connection.Receive(buffer + filled, size - filled, kWaitSliceMs, received);
    if (status == IoStatus::kTimedOut) continue;
    if (status != IoStatus::kData) return status;
    filled += received;
  }
  return IoStatus::kData;
}

std::unique_ptr<Connection> MakePlainConnection(Socket socket) {
  return std::make_unique<PlainConnection>(std::move(socket));
}

}  // namespace stv::sim
