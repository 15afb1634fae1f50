#include "app/session_start.h"

#include <cstdio>

namespace stv {

using agent::TcpTransport;

std::unique_ptr<TcpTransport> ConnectSession(const std::string& host, uint16_t port,
                                             const TcpTransport::Security& security) {
  std::string error;
  if (!TcpTransport::InitSockets(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return nullptr;
  }
  std::unique_ptr<TcpTransport> transport = TcpTransport::Connect(host, port, security, error);
  if (!transport) {
    std::fprintf(stderr, "could not connect to %s:%u (%s)\n", host.c_str(), unsigned{port}, error.c_str());
    TcpTransport::CleanupSockets();
    return nullptr;
  }
  std::printf("connected to %s\n", transport->Peer().c_str());
  std::fflush(stdout);
  return transport;
}

}  // namespace stv
