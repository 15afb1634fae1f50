// Sockets and the byte connection a session talks through: plaintext or TLS. The socket
// is non-blocking underneath so that every wait is bounded and can be stopped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace stv::sim {

// Raised from a signal handler (SIGINT, SIGTERM) or by the program; every wait looks at it.
void RaiseGlobalStop();
bool GlobalStopRaised();
// Routes SIGINT and SIGTERM to RaiseGlobalStop.
void InstallStopSignals();

// A stop flag for one session that also follows the global one.
class StopFlag {
 public:
  void Raise() { raised_.store(true); }
  bool raised() const { return raised_.load() || GlobalStopRaised(); }

 private:
  std::atomic<bool> raised_{false};
};

// An owned socket descriptor, closed on destruction.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket();
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// Binds and listens on a numeric IPv4 or IPv6 address; port 0 picks a free port.
Socket ListenTcp(const std::string& address, uint16_t port, std::string& error);
uint16_t LocalPort(const Socket& socket);
// Waits for a connection until `stop` is raised; an invalid socket then.
Socket AcceptConnection(const Socket& listener, const StopFlag& stop);

// Waits up to `timeoutMs` for the socket to become readable (or writable); false on time-out.
bool WaitReadable(int fd, int timeoutMs);
bool WaitWritable(int fd, int timeoutMs);

enum class IoStatus { kData, kTimedOut, kClosed, kError };

class Connection {
 public:
  virtual ~Connection() = default;
  // Writes every byte. Fails when the peer is gone, `stop` is raised, or the peer takes no
  // bytes for kSendStallMs (a viewer that stopped reading).
  virtual bool Send(std::span<const uint8_t> data, const StopFlag& stop) = 0;
  // The same for `pieces` one after the other; unless the connection can write them straight
  // from where they are, they are copied into one buffer first.
  virtual bool SendGathered(std::span<const std::span<const uint8_t>> pieces, const StopFlag& stop);
  // Up to `capacity` bytes, waiting at most `timeoutMs`.
  virtual IoStatus Receive(uint8_t* buffer, size_t capacity, int timeoutMs, size_t& received) = 0;
  // The orderly end (a TLS close notification); errors are ignored. The socket closes on destruction.
  virtual void Close() = 0;
  virtual int fd() const = 0;
};

inline constexpr int kSendStallMs = 10000;

// Fills exactly `size` bytes unless the peer closes, an error occurs, `stop` is raised or
// `deadlineMs` passes without the bytes (0: no deadline).
IoStatus ReceiveExact(Connection& connection, uint8_t* buffer, size_t size, const StopFlag& stop, int deadlineMs);

// Bytes straight on the socket.
std::unique_ptr<Connection> MakePlainConnection(Socket socket);

// Raw writes on a socket that is not wrapped in any connection (for faults that misbehave
// below TLS); the same stall rule as Connection::Send.
bool SendOnSocket(int fd, std::span<const uint8_t> data, const StopFlag& stop);
bool SendGatheredOnSocket(int fd, std::span<const std::span<const uint8_t>> pieces, const StopFlag& stop);

}  // namespace stv::sim
