#include <algorithm>
#include <cstring>

#include "secure/secure_channel.h"

namespace stv::agent {

bool PlaintextChannel::Send(const uint8_t* data, size_t size) { return RawSend(socket_, data, size); }

bool PlaintextChannel::ReceiveExact(uint8_t* buffer, size_t size) {
  size_t filled = 0;
  while (filled < size) {
    // Tested before every call, so an interrupt is seen within one receive time-out.
    if (interrupted_.load()) return false;
    filled += TakeReadAhead(buffer + filled, size - filled);
    if (filled == size) break;
    // A frame is a small header and then its payload, mostly a few KiB: reading ahead into a
    // buffer of our own takes many of them in one call. A part too large for that buffer goes
    // straight to the caller.
    const bool direct = size - filled >= kReadAheadSize;
    uint8_t* target = direct ? buffer + filled : readAhead_.get();
    size_t received = 0;
    switch (ReceiveSome(socket_, target, direct ? size - filled : kReadAheadSize, received)) {
      case ReceiveStatus::kData:
        if (direct) {
          filled += received;
        } else {
          aheadBegin_ = 0;
          aheadEnd_ = received;
        }
        break;
      case ReceiveStatus::kTimedOut: break;
      case ReceiveStatus::kClosed:
      case ReceiveStatus::kError: return false;
    }
  }
  return true;
}

size_t PlaintextChannel::TakeReadAhead(uint8_t* buffer, size_t size) {
  const size_t share = std::min(size, aheadEnd_ - aheadBegin_);
  if (share > 0) std::memcpy(buffer, readAhead_.get() + aheadBegin_, share);
  aheadBegin_ += share;
  return share;
}

}  // namespace stv::agent
