// Wire-level helpers the tests share: frames and bindings built independently of the code
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

// A transport frame: channel byte, 32-bit big-endian length, payload.
inline Bytes MakeFrame(uint8_t channel, std::span<const uint8_t> payload) {
  const auto length = static_cast<uint32_t>(payload.size());
  Bytes bytes = {channel, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                 static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

// The binding's wire form, built literally: 16-bit K, key, 16-bit S, signature.
inline Bytes EncodeBinding(std::span<const uint8_t> key, std::span<const uint8_t> signature) {
  Bytes bytes;
  for (std::span<const uint8_t> field : {key, signature}) {
    bytes.insert(bytes.end(), {static_cast<uint8_t>(field.size() >> 8), static_cast<uint8_t>(field.size())});
    bytes.insert(bytes.end(), field.begin(), field.end());
  }
  return bytes;
}

// Deterministic filler that makes misordered or lost bytes visible.
inline Bytes Pattern(size_t size, uint32_t seed) {
  Bytes bytes(size);
  uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
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
