// Wire-level helpers the tests share: frames built and read independently of the code
// under test, a collector for what a transport delivers, and a device binding replayed
// from bytes.
#pragma once

#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "secure/device_binding.h"
#include "support/child_process.h"
#include "transport/frame.h"

namespace stv::testing {

using Bytes = std::vector<uint8_t>;

inline uint32_t ReadU32(std::span<const uint8_t> bytes, size_t offset) {
  return uint32_t{bytes[offset]} << 24 | uint32_t{bytes[offset + 1]} << 16 | uint32_t{bytes[offset + 2]} << 8 |
         bytes[offset + 3];
}

inline uint16_t ReadU16(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

// A transport frame: channel byte, 32-bit big-endian length, payload.
inline Bytes MakeFrame(uint8_t channel, std::span<const uint8_t> payload) {
  const auto length = static_cast<uint32_t>(payload.size());
  Bytes bytes = {channel, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                 static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

// Bytes that have arrived on `socket` and wait to be read; -1 when it cannot be asked.
inline int UnreadBytes(int socket) {
  int count = -1;
  return ::ioctl(socket, FIONREAD, &count) == 0 ? count : -1;
}

// Collects what a transport's reader thread delivers.
class Inbox {
 public:
  using Message = std::pair<agent::Channel, Bytes>;

  std::function<void(agent::Channel, Bytes&&)> Handler() {
    return [this](agent::Channel channel, Bytes&& payload) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.emplace_back(channel, std::move(payload));
      arrived_.notify_all();
    };
  }
  bool WaitFor(size_t count, std::chrono::milliseconds limit = kPatience) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, limit, [&] { return messages_.size() >= count; });
  }
  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Message> messages_;
};

// Binding bytes as they would come out of the tunnel, next to the certificate presented.
class RecordedBinding final : public agent::DeviceBindingSource {
 public:
  RecordedBinding(Bytes stream, std::optional<Bytes> certificate)
      : stream_(std::move(stream)), certificate_(std::move(certificate)) {}

  bool ReadBindingBytes(uint8_t* buffer, size_t size) override {
    if (size > stream_.size() - consumed) return false;
    std::copy_n(stream_.begin() + static_cast<std::ptrdiff_t>(consumed), size, buffer);
    consumed += size;
    return true;
  }
  std::optional<Bytes> PeerCertificate() override {
    ++certificateQueries;
    return certificate_;
  }

  size_t consumed = 0;
  int certificateQueries = 0;

 private:
  Bytes stream_;
  std::optional<Bytes> certificate_;
};

}  // namespace stv::testing
