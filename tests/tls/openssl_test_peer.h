// Test-side TLS machinery built directly on OpenSSL, independent of the channel under test:
// server identities, device keys that sign bindings, and a one-connection TLS server on
// 127.0.0.1 that runs a scripted conversation on its own thread.
#pragma once

#include <openssl/types.h>

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

struct PkeyFree {
  void operator()(EVP_PKEY* key) const;
};
struct X509Free {
  void operator()(X509* certificate) const;
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

// A P-256 server key with a self-signed certificate.
struct TlsIdentity {
  PkeyPtr key;
  X509Ptr certificate;
  Bytes certificateDer;

  static TlsIdentity Generate(const std::string& commonName);
};

// A long-term P-256 device key.
class DeviceKey {
 public:
  static DeviceKey Generate();
  // Loads a PEM private key file (as written by the openssl command line).
  static DeviceKey LoadPem(const std::string& path);

  // The 65-byte uncompressed point (0x04, X, Y).
  Bytes PublicPoint() const;
  // The 33-byte compressed point (0x02 or 0x03, X).
  Bytes CompressedPoint() const;
  // ECDSA over `digest` as given: raw r then s, or the DER encoding.
  Bytes SignRaw(std::span<const uint8_t> digest) const;
  Bytes SignDer(std::span<const uint8_t> digest) const;

 private:
  PkeyPtr key_;
};

Bytes Sha256Of(std::span<const uint8_t> data);

// The wire form: 16-bit K, key, 16-bit S, signature.
Bytes EncodeBinding(std::span<const uint8_t> key, std::span<const uint8_t> signature);
// A valid binding of `device` over `certificateDer`.
Bytes SignedBinding(const DeviceKey& device, std::span<const uint8_t> certificateDer);

// A transport frame: channel byte, 32-bit big-endian length, payload.
Bytes MakeFrame(uint8_t channel, std::span<const uint8_t> payload);
// Deterministic, position-dependent filler that makes misordered bytes visible.
Bytes Pattern(size_t size, uint32_t seed);

// One accepted connection, seen from the server side. Reads time out after a few seconds
// so that a failing client never hangs a test.
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
  // One SSL_read: the plaintext of at most one record; 0 or less when the stream ended.
  int ReadSome(uint8_t* buffer, int capacity);
  // Sends the close notification without waiting for the client's.
  void CloseNotify();
  // Ends the TCP connection at once.
  void Close();

 private:
  int socket_;
  SSL* ssl_ = nullptr;
};

struct ServerOptions {
  const TlsIdentity* identity = nullptr;
  int minVersion = 0x0303;  // TLS 1.2
  int maxVersion = 0x0303;
};

using ServerScript = std::function<void(ServerConnection&)>;

// Listens on 127.0.0.1 at a free port; Start accepts one connection on a thread and runs
// the script on it. The destructor unblocks and joins that thread.
class TlsTestServer {
 public:
  explicit TlsTestServer(const ServerOptions& options);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  uint16_t port() const { return port_; }
  SSL_CTX* context() const { return context_; }
  void Start(ServerScript script);
  // Waits for the script to end.
  void Join();

 private:
  SSL_CTX* context_ = nullptr;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::mutex activeMutex_;
  int active_ = -1;  // the connection being served, so that teardown can cut it short
  std::thread thread_;
};

// A client socket connected to 127.0.0.1:`port` with the session's socket options.
int ConnectLoopback(uint16_t port);

}  // namespace stv::testing
