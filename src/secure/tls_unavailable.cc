// Stand-in until the TLS client lands: every TLS connection attempt fails cleanly.
#include "secure/secure_channel.h"

namespace stv::agent {

std::unique_ptr<SecureChannel> EstablishTlsChannel(SocketHandle, const std::string&, bool, std::string& error) {
  error = "TLS is not available in this build (use --insecure-plaintext)";
  return nullptr;
}

}  // namespace stv::agent
