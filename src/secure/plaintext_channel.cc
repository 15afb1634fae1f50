#include "secure/secure_channel.h"

namespace stv::agent {

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
