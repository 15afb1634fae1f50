// The TLS 1.2 client channel on SSPI with the Schannel package. Schannel never touches the
// socket: this class receives ciphertext into a buffer it hands to the provider, and writes
// what the provider seals. Schannel lets one thread seal while another opens records on the
// same context, so, unlike the OpenSSL sibling, nothing here takes a lock.
#pragma once

// Winsock 2 before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>

#include <windows.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32  // the user-mode SSPI declarations
#endif
#include <security.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "secure/device_binding.h"
#include "secure/secure_channel.h"

namespace stv::agent {

// One SSPI handle and whether the provider has filled it; released once, by its owner.
template <SECURITY_STATUS (*kRelease)(SecHandle*)>
struct SspiHandle {
  SspiHandle() = default;
  SspiHandle(const SspiHandle&) = delete;
  SspiHandle& operator=(const SspiHandle&) = delete;
  ~SspiHandle() {
    if (held) kRelease(&handle);
  }
  SecHandle* get() { return held ? &handle : nullptr; }

  SecHandle handle{};
  bool held = false;
};

class SchannelChannel final : public SecureChannel, private DeviceBindingSource {
 public:
  // A handshake or binding read that sees no byte for `idleLimit` fails; after the
  // handshake, reads wait for data, an error or Interrupt.
  explicit SchannelChannel(SocketHandle socket, std::chrono::milliseconds idleLimit = kHandshakeIdleLimit)
      : socket_(socket), idleLimit_(idleLimit) {}

  // Runs once, on the connecting thread, before anything else touches the channel: the TLS
  // handshake, then the device binding check. False with `error` set.
  bool Handshake(const std::string& expectedDeviceId, bool insecureNoPin, std::string& error);

  bool Send(const uint8_t* data, size_t size) override;
  bool ReceiveExact(uint8_t* buffer, size_t size) override;
  void Shutdown() override;
  void Interrupt() override { interrupted_.store(true); }
  std::string Describe() const override { return peerDeviceId_; }

 private:
  static SECURITY_STATUS ReleaseCredentials(SecHandle* handle);
  static SECURITY_STATUS ReleaseContext(SecHandle* handle);

  bool AcquireCredentials(std::string& error);
  // The InitializeSecurityContext passes until the provider reports the session up.
  bool NegotiateContext(std::string& error);
  bool QueryStreamSizes(std::string& error);
  // Opens buffered records until at least one application byte is in `decrypted_`.
  bool ReceiveRecord();
  // One receive from the socket onto the end of `incoming_`. False on close, error or
  // interrupt, and, while the handshake runs, after idleLimit_ without a byte.
  bool ReceiveCiphertext();

  // DeviceBindingSource: the binding travels as ordinary application bytes.
  bool ReadBindingBytes(uint8_t* buffer, size_t size) override { return ReceiveExact(buffer, size); }
  std::optional<std::vector<uint8_t>> PeerCertificate() override;

  const SocketHandle socket_;
  const std::chrono::milliseconds idleLimit_;
  SspiHandle<ReleaseCredentials> credentials_;
  SspiHandle<ReleaseContext> context_;
  // Set once by the handshake; a maximum message size of 0 means Send must refuse.
  SecPkgContext_StreamSizes streamSizes_{};
  std::atomic<bool> interrupted_{false};
  // True on the connecting thread while Handshake runs; the reader threads start later.
  bool handshaking_ = false;

  // Receiving side (the connecting thread, then the reader thread only).
  std::vector<uint8_t> incoming_;   // ciphertext not yet consumed by the provider
  std::vector<uint8_t> decrypted_;  // application bytes from `decryptedBegin_` on wait
  size_t decryptedBegin_ = 0;

  // Sending side (the writer thread only): one record at a time.
  std::vector<uint8_t> record_;

  std::string peerDeviceId_;
};

}  // namespace stv::agent
