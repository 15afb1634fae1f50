// The agent's TLS 1.2 server side: a fresh self-signed certificate per run and the
// connections that use it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"

namespace stv::sim {

class TlsServer {
 public:
  // Makes a new P-256 key and self-signed certificate and the server context around them.
  static std::unique_ptr<TlsServer> Create(std::string& error);
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  // The certificate every connection presents, in DER form.
  const std::vector<uint8_t>& certificateDer() const { return certificateDer_; }

  // The server handshake on an accepted socket, within `timeoutMs`. Null with `error` set
  // when it fails or `stop` is raised.
  std::unique_ptr<Connection> Accept(Socket socket, const StopFlag& stop, int timeoutMs, std::string& error);

 private:
  TlsServer(void* context, std::vector<uint8_t> certificateDer)
      : context_(context), certificateDer_(std::move(certificateDer)) {}
  void* context_;  // SSL_CTX
  std::vector<uint8_t> certificateDer_;
};

// The DER of another fresh self-signed certificate, one that no connection presents.
std::vector<uint8_t> MakeUnrelatedCertificateDer();

}  // namespace stv::sim
