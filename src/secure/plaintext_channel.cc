#include <algorithm>

#include "secure/secure_channel.h"

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

bool PlaintextChannel::Send(const uint8_t* data, size_t size) { return RawSend(socket_, data, size); }

bool PlaintextChannel::ReceiveExact(uint8_t* buffer, size_t size) {
  size_t filled = 0;
  while (filled < size) {
    // Tested before every call, so an interrupt is seen within one receive time-out.
    if (interrupted_.load()) return false;
    size_t received = 0;
    switch (ReceiveSome(socket_, buffer + filled, size - filled, received)) {
      case ReceiveStatus::kData: filled += received; break;
      case ReceiveStatus::kTimedOut: break;
      case ReceiveStatus::kClosed:
      case ReceiveStatus::kError: return false;
    }
  }
  return true;
}

}  // namespace stv::agent
