// The byte channel the transport reads and writes through: plaintext or TLS.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "secure/socket_io.h"

namespace stv::agent {

// One thread sends while another receives; a third may interrupt. Implementations must
// allow exactly that. The channel never owns the socket: the transport closes it after
// destroying the channel.
class SecureChannel {
 public:
  virtual ~SecureChannel() = default;

  // Writes all `size` bytes, or returns false.
  virtual bool Send(const uint8_t* data, size_t size) = 0;
  // Fills exactly `size` bytes, or returns false (peer closed, error or interrupted).
  virtual bool ReceiveExact(uint8_t* buffer, size_t size) = 0;
  // Orderly end of the session protocol; errors are ignored.
  virtual void Shutdown() = 0;
  // Makes a blocked receive, and every later one, give up within one receive time-out.
  virtual void Interrupt() = 0;
  // Names the channel for the peer line.
  virtual std::string Describe() const = 0;
};

// Bytes straight to the socket, for "--insecure-plaintext".
class PlaintextChannel final : public SecureChannel {
 public:
  explicit PlaintextChannel(SocketHandle socket) : socket_(socket) {}

  bool Send(const uint8_t* data, size_t size) override;
  bool ReceiveExact(uint8_t* buffer, size_t size) override;
  void Shutdown() override {}
  void Interrupt() override { interrupted_.store(true); }
  std::string Describe() const override { return "plaintext"; }

 private:
  static constexpr size_t kReadAheadSize = 65536;

  // Copies what was read ahead, up to `size` bytes, into `buffer`; returns the count.
  size_t TakeReadAhead(uint8_t* buffer, size_t size);

  std::atomic<bool> interrupted_{false};
  SocketHandle socket_;
  std::unique_ptr<uint8_t[]> readAhead_ = std::make_unique_for_overwrite<uint8_t[]>(kReadAheadSize);
  size_t aheadBegin_ = 0;
  size_t aheadEnd_ = 0;
};

// What the TLS channel of every platform keeps to: the server name it sends, how long a
// handshake or device-binding read waits for a silent server, and how much ciphertext it
// buffers without a complete record before the receive side gives up.
inline constexpr char kTlsServerName[] = "stavolin";
inline constexpr std::chrono::milliseconds kHandshakeIdleLimit{15000};
inline constexpr size_t kMaxBufferedCiphertext = 262144;

// Runs the TLS client handshake over `socket`, including the device binding check against
// `expectedDeviceId` (or an accepted unpinned device under `insecureNoPin`). Returns the
// established channel, or nullptr with `error` set; the caller still owns the socket.
std::unique_ptr<SecureChannel> EstablishTlsChannel(SocketHandle socket, const std::string& expectedDeviceId,
                                                   bool insecureNoPin, std::string& error);

}  // namespace stv::agent
