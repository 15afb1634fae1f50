// The start that both session modes share: the socket library, the connection, the
// "connected to" line, or the failure line on standard error.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/tcp_transport.h"

namespace stv {

// Returns the open transport, or nullptr after printing why and releasing the socket library.
std::unique_ptr<agent::TcpTransport> ConnectSession(const std::string& host, uint16_t port,
                                                    const agent::TcpTransport::Security& security);

}  // namespace stv
