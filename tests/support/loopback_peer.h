// A tiny TCP peer on 127.0.0.1 for transport tests, on the simulated agent's sockets: it
// accepts one connection and lets the test write raw bytes to, and read raw bytes from, the
// viewer's side.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "support/child_process.h"

namespace stv::testing {

class LoopbackPeer {
 public:
  LoopbackPeer() {
    std::string error;
    listener_ = sim::ListenTcp("127.0.0.1", 0, error);
  }

  uint16_t port() const { return sim::LocalPort(listener_); }

  // Accepts the viewer's connection (it has already connected: the backlog holds it).
  bool Accept() {
    sim::Socket socket = sim::AcceptConnection(listener_, stop_);
    if (socket.valid()) connection_ = sim::MakePlainConnection(std::move(socket));
    return connection_ != nullptr;
  }

  bool Write(const std::vector<uint8_t>& bytes) { return connection_->Send(bytes, stop_); }

  // Exactly `count` bytes, or none when they do not all arrive within kPatience.
  std::vector<uint8_t> Read(size_t count) {
    std::vector<uint8_t> bytes(count);
    const auto patience = static_cast<int>(std::chrono::milliseconds(kPatience).count());
    if (sim::ReceiveExact(*connection_, bytes.data(), count, stop_, patience) != sim::IoStatus::kData) bytes.clear();
    return bytes;
  }

  void CloseConnection() { connection_.reset(); }

 private:
  sim::StopFlag stop_;
  sim::Socket listener_;
  std::unique_ptr<sim::Connection> connection_;
};

}  // namespace stv::testing
