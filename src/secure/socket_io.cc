// The half of the socket layer that is the same on every platform: loops over its one-call
// operations, and the form of its error texts.
#include <algorithm>

#include "secure/socket_io.h"

namespace stv::agent {

bool RawSend(SocketHandle socket, const uint8_t* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    const long n = SendSome(socket, data + sent, std::min(size - sent, kMaxSendChunk));
    if (n < 1) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveWaiting(SocketHandle socket, uint8_t* buffer, size_t capacity, const std::atomic<bool>& interrupted,
                    std::chrono::milliseconds idleLimit, size_t& received) {
  const auto start = std::chrono::steady_clock::now();
  while (!interrupted.load()) {
    switch (ReceiveSome(socket, buffer, capacity, received)) {
      case ReceiveStatus::kData: return true;
      case ReceiveStatus::kTimedOut:
        if (idleLimit.count() > 0 && std::chrono::steady_clock::now() - start >= idleLimit) return false;
        continue;
      case ReceiveStatus::kClosed:
      case ReceiveStatus::kError: return false;
    }
  }
  return false;
}

bool RawReceive(SocketHandle socket, std::vector<uint8_t>& buffer, const std::atomic<bool>& interrupted) {
  uint8_t chunk[kRawReceiveChunk];
  size_t received = 0;
  if (!ReceiveWaiting(socket, chunk, sizeof chunk, interrupted, std::chrono::milliseconds(0), received)) return false;
  buffer.insert(buffer.end(), chunk, chunk + received);
  return true;
}

std::string SocketErrorText(const char* operation, int code) {
  return std::string(operation) + " failed (WSA " + std::to_string(code) + ")";
}

}  // namespace stv::agent
