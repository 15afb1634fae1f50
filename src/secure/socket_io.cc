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

bool RawReceive(SocketHandle socket, std::vector<uint8_t>& buffer, const std::atomic<bool>& interrupted) {
  uint8_t chunk[kRawReceiveChunk];
  while (!interrupted.load()) {
    size_t received = 0;
    switch (ReceiveSome(socket, chunk, sizeof chunk, received)) {
      case ReceiveStatus::kData: buffer.insert(buffer.end(), chunk, chunk + received); return true;
      case ReceiveStatus::kTimedOut: continue;
      case ReceiveStatus::kClosed:
      case ReceiveStatus::kError: return false;
    }
  }
  return false;
}

std::string SocketErrorText(const char* operation, int code) {
  return std::string(operation) + " failed (WSA " + std::to_string(code) + ")";
}

}  // namespace stv::agent
