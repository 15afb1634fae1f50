// A tiny TCP peer on 127.0.0.1 for transport tests: it accepts one connection and lets the
// test write raw bytes to, and read raw bytes from, the viewer's side.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "support/child_process.h"

namespace stv::testing {

class LoopbackPeer {
 public:
  LoopbackPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackPeer() {
    CloseConnection();
    ::close(listener_);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  uint16_t port() const { return port_; }

  // Accepts the viewer's connection (it has already connected: the backlog holds it).
  bool Accept() {
    connection_ = ::accept(listener_, nullptr, nullptr);
    const timeval timeout{kPatience.count(), 0};  // no test waits forever on a viewer that is silent or stopped reading
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
      ::setsockopt(connection_, SOL_SOCKET, option, &timeout, sizeof timeout);
    }
    return connection_ >= 0;
  }

  bool Write(const std::vector<uint8_t>& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(connection_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads exactly `count` bytes; returns what arrived before the connection ended or timed out.
  std::vector<uint8_t> Read(size_t count) {
    std::vector<uint8_t> bytes(count);
    size_t filled = 0;
    for (ssize_t n; filled < count && (n = ::recv(connection_, bytes.data() + filled, count - filled, 0)) > 0;) {
      filled += static_cast<size_t>(n);
    }
    bytes.resize(filled);
    return bytes;
  }

  void CloseConnection() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
  }

 private:
  int listener_ = -1;
  int connection_ = -1;
  uint16_t port_ = 0;
};

}  // namespace stv::testing
