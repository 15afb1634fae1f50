// stv-agent-sim: our own remote agent, for testing, demonstrating and measuring stv-view.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "connection.h"
#include "device_key.h"
#include "options.h"
#include "recorder.h"
#include "session.h"
#include "tls_server.h"

namespace {

int Fail(const std::string& error) {
  std::fprintf(stderr, "stv-agent-sim: %s\n", error.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace stv::sim;
  const auto started = std::chrono::steady_clock::now();
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  AgentOptions options;
  std::string error;
  if (!ParseAgentOptions(args, options, error)) {
    std::fprintf(stderr, "stv-agent-sim: %s\n(see stv-agent-sim --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(AgentUsage().c_str(), stdout);
    return 0;
  }
  InstallStopSignals();

  std::unique_ptr<DeviceKey> key;
  std::unique_ptr<TlsServer> tls;
  if (!options.plaintext || options.printId) {
    key = DeviceKey::LoadOrCreate(options.keyPath.empty() ? DefaultKeyPath() : options.keyPath, error);
    if (!key) return Fail(error);
    if (options.printId) {
      std::printf("%s\n", DeviceIdOf(key->publicPoint()).c_str());
      return 0;
    }
    tls = TlsServer::Create(error);
    if (!tls) return Fail(error);
  }
  std::unique_ptr<Recorder> recorder;
  if (!options.recordPath.empty()) {
    recorder = Recorder::Open(options.recordPath, started, error);
    if (!recorder) return Fail(error);
  }

  std::unique_ptr<ReplayLoop> replay;
  if (options.stream.replayFrames > 0) {
    replay = PreEncodeReplayLoop(options.stream, error);
    if (!replay) return Fail(error);
  }

  const Socket listener = ListenTcp(options.listen, options.port, error);
  if (!listener.valid()) return Fail(error);
  std::printf("listening on %s:%u\n", options.listen.c_str(), LocalPort(listener));
  if (key && !options.plaintext) std::printf("device id: %s\n", DeviceIdOf(key->publicPoint()).c_str());
  std::fflush(stdout);

  const StopFlag programStop;  // follows SIGINT and SIGTERM
  bool allCompleted = true;
  for (uint32_t number = 1; options.sessions == 0 || number <= static_cast<uint32_t>(options.sessions); ++number) {
    Socket socket = AcceptConnection(listener, programStop);
    if (!socket.valid()) break;
    std::printf("session %u: viewer connected\n", number);
    std::fflush(stdout);
    SessionContext context;
    context.options = &options;
    context.key = key.get();
    context.tls = tls.get();
    context.recorder = recorder.get();
    context.replay = replay.get();
    context.number = number;
    if (RunSession(std::move(socket), context) != SessionOutcome::kCompleted) allCompleted = false;
    if (programStop.raised()) break;
  }
  if (programStop.raised()) std::printf("stopped\n");
  return allCompleted ? 0 : 1;
}
