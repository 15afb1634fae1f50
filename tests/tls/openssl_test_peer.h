// The test side of TLS, built directly on OpenSSL and independent of the channel under test:
// server identities, device keys that sign bindings, and a one-connection TLS server on
// 127.0.0.1 that runs a scripted conversation on its own thread.
#pragma once

#include <openssl/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace stv::testing {

using Bytes = std::vector<uint8_t>;

// A P-256 server key with a self-signed certificate.
struct TlsIdentity {
  std::shared_ptr<EVP_PKEY> key;
  std::shared_ptr<X509> certificate;
  Bytes certificateDer;

  static TlsIdentity Generate(const std::string& commonName);
};

// A long-term P-256 device key.
class DeviceKey {
 public:
  static DeviceKey Generate();
  Bytes PublicPoint() const;      // 65 bytes: 0x04, X, Y
  Bytes CompressedPoint() const;  // 33 bytes: 0x02 or 0x03, X
  // ECDSA over `digest` as given (not hashed again), DER-encoded or raw r then s.
  Bytes SignDer(std::span<const uint8_t> digest) const;
  Bytes SignRaw(std::span<const uint8_t> digest) const;

 private:
  std::shared_ptr<EVP_PKEY> key_;
};

Bytes Sha256Of(std::span<const uint8_t> data);
// A DER ECDSA signature as 64 raw bytes; empty when it does not parse.
Bytes RawSignature(std::span<const uint8_t> der);
// The wire form: 16-bit K, key, 16-bit S, signature.
Bytes EncodeBinding(std::span<const uint8_t> key, std::span<const uint8_t> signature);
// A valid binding of `device` over `certificateDer`.
Bytes SignedBinding(const DeviceKey& device, std::span<const uint8_t> certificateDer);
// Deterministic filler that makes misordered or lost bytes visible.
Bytes Pattern(size_t size, uint32_t seed);

// One accepted connection, server side, blocking. Reads and writes time out (kPatience) so
// that a failing client never hangs a test.
class ServerConnection {
 public:
  ServerConnection(int socket, SSL_CTX* context);
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  int socket() const { return socket_; }
  SSL* ssl() const { return ssl_; }
  bool Accept();
  bool Write(std::span<const uint8_t> bytes);
  bool ReadExact(std::span<uint8_t> bytes);
  // One SSL_read: the plaintext of one record at most; 0 or less once the stream ended.
  int ReadSome(uint8_t* buffer, int capacity);
  // Plaintext until the client goes away; returns how many bytes came.
  size_t DrainUntilClosed();
  void CloseNotify();
  void Close();

 private:
  int socket_;
  SSL* ssl_;
};

struct ServerOptions {
  const TlsIdentity* identity = nullptr;
  int minVersion = 0x0303;  // TLS 1.2
  int maxVersion = 0x0303;
};

// Listens on 127.0.0.1 at a free port; Start accepts one connection on a thread and runs
// the script on it. The destructor cuts a stuck conversation short and joins.
class TlsTestServer {
 public:
  explicit TlsTestServer(const ServerOptions& options);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  uint16_t port() const { return port_; }
  SSL_CTX* context() const { return context_; }
  void Start(std::function<void(ServerConnection&)> script);
  void Join();
  // True once the script has returned, which is before its connection closes.
  bool ScriptDone() const { return scriptDone_; }

 private:
  SSL_CTX* context_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::mutex activeMutex_;
  int active_ = -1;  // the connection being served
  std::atomic<bool> scriptDone_{false};
  std::thread thread_;
};

// A client socket connected to 127.0.0.1:`port`, with the session's socket options.
int ConnectLoopback(uint16_t port);

}  // namespace stv::testing
