// The agent's TLS 1.2 server side: a fresh self-signed certificate per run and the
// connections that use it.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"

namespace stv::sim {

// The protocol versions a server offers, as OpenSSL numbers them (0x0303 is TLS 1.2). The
// agent offers TLS 1.2 alone; tests offer others to see a viewer refuse them.
struct TlsVersions {
  int min = 0x0303;
  int max = 0x0303;
};

class TlsServer {
 public:
  // Makes a new P-256 key and self-signed certificate and the server context around them.
  static std::unique_ptr<TlsServer> Create(std::string& error, TlsVersions versions = {});
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  // The certificate every connection presents, in DER form.
  const std::vector<uint8_t>& certificateDer() const { return certificateDer_; }
  // The context every connection is made from, for tests that run a handshake by hand.
  SSL_CTX* context() const { return context_; }

  // The server handshake on an accepted socket, within `timeoutMs`. Null with `error` set
  // when it fails or `stop` is raised.
  std::unique_ptr<Connection> Accept(Socket socket, const StopFlag& stop, int timeoutMs, std::string& error);

 private:
  TlsServer(SSL_CTX* context, std::vector<uint8_t> certificateDer)
      : context_(context), certificateDer_(std::move(certificateDer)) {}
  SSL_CTX* context_;
  std::vector<uint8_t> certificateDer_;
};

// The DER of another fresh self-signed certificate, one that no connection presents.
std::vector<uint8_t> MakeUnrelatedCertificateDer();

}  // namespace stv::sim
