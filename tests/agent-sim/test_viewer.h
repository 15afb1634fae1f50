// A minimal viewer for driving the simulated agent in tests, on the viewer's own channels:
// plaintext, or TLS with the device binding checked against a pin. Reads give up once the
// viewer has been connected for kPatience, so a failing test never hangs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "secure/secure_channel.h"

namespace stv::sim::testing {

using Bytes = std::vector<uint8_t>;

struct WireFrame {
  uint8_t channel = 0;
  Bytes payload;
};

class TestViewer {
 public:
  // Connects to 127.0.0.1:port: in plaintext, or with a `pin` over TLS, checking the
  // agent's binding against it. Null on failure.
  static std::unique_ptr<TestViewer> Connect(uint16_t port, const std::optional<std::string>& pin = std::nullopt);
  ~TestViewer();

  // Exactly `size` bytes, or false (closed, error, time-out).
  bool ReadExact(uint8_t* buffer, size_t size);
  // Plaintext only: whatever arrives until the peer closes; `closed` tells whether it did.
  Bytes ReadUntilClosed(bool& closed);
  std::optional<WireFrame> ReadFrame();
  bool SendToken(const std::string& token);
  bool SendControl(const std::string& json);

 private:
  explicit TestViewer(agent::SocketHandle socket) : socket_(socket) {}

  agent::SocketHandle socket_;
  std::unique_ptr<agent::SecureChannel> channel_;
  std::jthread watchdog_;  // interrupts the channel at the deadline
};

}  // namespace stv::sim::testing
