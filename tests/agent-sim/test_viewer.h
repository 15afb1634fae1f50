// A minimal viewer for driving the simulated agent in tests: TCP, optionally TLS through
// OpenSSL, reading and writing frames. A read not done within kPatience fails.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace stv::sim::testing {

using Bytes = std::vector<uint8_t>;

struct WireFrame {
  uint8_t channel = 0;
  Bytes payload;
};

class TestViewer {
 public:
  // Connects to 127.0.0.1:port; with `tls`, runs a TLS 1.2 client handshake. Null on failure.
  static std::unique_ptr<TestViewer> Connect(uint16_t port, bool tls);
  ~TestViewer();

  // Exactly `size` bytes, or false (closed, error, time-out).
  bool ReadExact(uint8_t* buffer, size_t size);
  // Whatever arrives until the peer closes; `closed` tells whether it did.
  Bytes ReadUntilClosed(bool& closed);
  bool Write(const Bytes& bytes);
  std::optional<WireFrame> ReadFrame();
  // The device binding and the token exchange, done by the test itself.
  std::optional<Bytes> ReadBinding();
  bool SendToken(const std::string& token);
  bool SendControl(const std::string& json);

  Bytes PeerCertificate() const;

 private:
  TestViewer() = default;
  // Bytes read into `buffer`; 0 when the peer closed or failed, -1 at the deadline.
  long ReadSome(uint8_t* buffer, size_t size, std::chrono::steady_clock::time_point deadline);
  int fd_ = -1;
  void* ssl_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace stv::sim::testing
