// The TLS 1.2 client channel on OpenSSL. OpenSSL never touches the socket: it reads
// ciphertext from a queue this class receives into and seals into a memory BIO, and this
// class moves the bytes between those and the socket. That is what lets a reader block in
// recv while a writer seals and sends: socket I/O happens outside any lock, and one mutex
// guards only the SSL object while a record is sealed or opened.
#pragma once

#include <openssl/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "secure/device_binding.h"
#include "secure/secure_channel.h"

namespace stv::agent {

// The largest plaintext one TLS record carries; Send seals at most this much per record.
inline constexpr size_t kMaxRecordPlaintext = 16384;

// Received ciphertext that OpenSSL has not read yet: bytes [begin, end) of `bytes`. The read
// BIO copies straight out of it, so a received byte is copied once on its way into a record
// (a memory BIO would take a copy of every byte on its way in).
struct CiphertextQueue {
  std::vector<uint8_t> bytes;
  size_t begin = 0;
  size_t end = 0;
};

class OpenSslChannel final : public SecureChannel, private DeviceBindingSource {
 public:
  // `idleLimit` bounds each handshake and binding read that sees no byte; once the
  // handshake is over, reads wait until data, an error or Interrupt.
  explicit OpenSslChannel(SocketHandle socket, std::chrono::milliseconds idleLimit = kHandshakeIdleLimit);
  ~OpenSslChannel() override;
  OpenSslChannel(const OpenSslChannel&) = delete;
  OpenSslChannel& operator=(const OpenSslChannel&) = delete;

  // The TLS handshake followed by the device binding check. Called once, before any other
  // operation and before any other thread uses the channel. False with `error` set.
  bool Handshake(const std::string& expectedDeviceId, bool insecureNoPin, std::string& error);

  bool Send(const uint8_t* data, size_t size) override;
  bool ReceiveExact(uint8_t* buffer, size_t size) override;
  void Shutdown() override;
  void Interrupt() override { interrupted_.store(true); }
  std::string Describe() const override { return peerDeviceId_; }

 private:
  struct ContextFree {
    void operator()(SSL_CTX* context) const;
  };
  struct SessionFree {
    void operator()(SSL* session) const;
  };

  bool CreateSession(std::string& error);
  // One step of the handshake loop; see Handshake.
  enum class Step { kDone, kNeedBytes, kFailed };
  Step AdvanceHandshake(std::string& error);
  bool QueryStreamSizes();
  // Moves what OpenSSL has sealed into `sealed_`; returns the byte count. Lock held.
  size_t DrainSealed();
  // One receive from the socket onto the end of the ciphertext queue. False on close,
  // error or interrupt, and, while the handshake runs, after idleLimit_ without a byte.
  bool ReceiveCiphertext();
  // Opens records until one yields application bytes, at most `capacity` of them (up to a
  // whole record) at `target`; how many, or nothing when the session has ended.
  std::optional<size_t> OpenRecord(uint8_t* target, size_t capacity);

  // DeviceBindingSource: the binding travels as ordinary application bytes.
  bool ReadBindingBytes(uint8_t* buffer, size_t size) override { return ReceiveExact(buffer, size); }
  std::optional<std::vector<uint8_t>> PeerCertificate() override;

  const SocketHandle socket_;
  const std::chrono::milliseconds idleLimit_;
  std::atomic<bool> interrupted_{false};
  // True on the connecting thread while Handshake runs; the reader threads start later.
  bool handshaking_ = false;

  // Guards the SSL object, both of its BIOs and the queued part of `ciphertext_`.
  std::mutex sslMutex_;
  CiphertextQueue ciphertext_;  // what the read BIO hands to OpenSSL; outlives the session
  std::unique_ptr<SSL_CTX, ContextFree> context_;
  std::unique_ptr<SSL, SessionFree> session_;
  BIO* networkOut_ = nullptr;  // sealed records for the socket; owned by session_

  // Set once by Handshake; zero means the stream is not established and Send refuses.
  size_t maxMessageSize_ = 0;

  // Receiving side (the reader thread only).
  size_t bufferedCiphertext_ = 0;  // fed to TLS since the last application byte came out

  // Sending side (the writer thread only): one sealed record at a time.
  std::vector<uint8_t> sealed_;

  std::string peerDeviceId_;
};

}  // namespace stv::agent
