// stv-view: the supporter's side of a remote-support session.
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/headless.h"
#include "transport/tcp_transport.h"

namespace {

int ConnectOnce(const stv::Options& options) {
  using stv::agent::TcpTransport;
  std::string error;
  if (!TcpTransport::InitSockets(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  auto transport = TcpTransport::Connect(options.host, options.port, options.security, error);
  if (!transport) {
    std::fprintf(stderr, "could not connect to %s:%u (%s)\n", options.host.c_str(), unsigned{options.port},
                 error.c_str());
    TcpTransport::CleanupSockets();
    return 1;
  }
  std::printf("connected to %s\n", transport->Peer().c_str());
  std::fflush(stdout);
  transport->Close();
  TcpTransport::CleanupSockets();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto options = stv::ParseCommandLine(arguments);
  if (!options) {
    std::fprintf(stderr, "%s", stv::kUsageText);
    return 2;
  }
  if (options->headless) {
    return stv::RunHeadless(options->host, options->port, options->seconds, options->viewportWidth,
                            options->viewportHeight, options->preset, options->gray, options->savePath,
                            options->probeInput, options->probeX, options->probeY, options->security);
  }
  return ConnectOnce(*options);
}
