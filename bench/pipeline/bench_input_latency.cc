// How long a Pointer message takes from TcpTransport::Send to the agent, while the viewer
// is busy with a full-motion stream: the supporter's mouse must feel local however much
// picture is arriving. The agent (stv-agent-sim's session, in this process so that both
// ends read one clock) stamps each Pointer as its reading thread decodes it, so the figure
// also holds the agent's own TLS decryption and scheduling: an upper bound of the time to
// the socket. The viewer side is the product's transport with the headless handler
// decoding every tile.
//
// "idle" sends the same Pointers to an agent that sends nothing but heartbeats: the
// reference for the same machine in the same run.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/dispatch.h"
#include "codec/system_image_codec.h"
#include "connection.h"
#include "device_key.h"
#include "protocol/control_message.h"
#include "session.h"
#include "tls_server.h"
#include "transport/tcp_transport.h"
#include "video_source.h"

namespace stv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPointers = 2000;
constexpr auto kPointerGap = std::chrono::milliseconds(3);

// The agent side: one TLS session of stv-agent-sim on a loopback port, run on its own thread.
class InProcessAgent {
 public:
  bool Start(bool fullMotion, std::string& error) {
    options_.stream.scene = "motion";
    options_.stream.width = 1920;
    options_.stream.height = 1080;
    options_.stream.encoding = sim::EncodingMode::kRawZlib;
    options_.stream.replayFrames = 30;
    options_.fps = 240;
    if (!fullMotion) options_.fault = sim::Fault::kHeartbeatsOnly;
    const std::string keyPath = std::filesystem::temp_directory_path() / "stv-latency-device-key.pem";
    key_ = sim::DeviceKey::LoadOrCreate(keyPath, error);
    if (!key_ || !(tls_ = sim::TlsServer::Create(error))) return false;
    if (fullMotion && !(replay_ = sim::PreEncodeReplayLoop(options_.stream, error))) return false;
    listener_ = sim::ListenTcp("127.0.0.1", 0, error);
    if (!listener_.valid()) return false;
    arrivals_.assign(kPointers, Clock::time_point{});
    thread_ = std::thread([this] { Serve(); });
    return true;
  }
  ~InProcessAgent() {
    stop_.Raise();
    if (thread_.joinable()) thread_.join();
  }

  uint16_t port() const { return sim::LocalPort(listener_); }
  std::string deviceId() const { return sim::DeviceIdOf(key_->publicPoint()); }
  // When Pointer `n` arrived; the epoch while it has not.
  Clock::time_point arrival(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_[static_cast<size_t>(n)];
  }

 private:
  void Serve() {
    sim::Socket socket = sim::AcceptConnection(listener_, stop_);
    if (!socket.valid()) return;
    sim::SessionContext context;
    context.options = &options_;
    context.key = key_.get();
    context.tls = tls_.get();
    context.replay = replay_.get();
    context.onControl = [this](const ControlMessage& message) {
      const auto now = Clock::now();
      if (message.t != static_cast<int32_t>(ControlKind::Pointer) || message.x < 0 || message.x >= kPointers) return;
      std::lock_guard<std::mutex> lock(mutex_);
      arrivals_[static_cast<size_t>(message.x)] = now;
    };
    sim::RunSession(std::move(socket), context);
  }

  sim::AgentOptions options_;
  std::unique_ptr<sim::DeviceKey> key_;
  std::unique_ptr<sim::TlsServer> tls_;
  std::unique_ptr<sim::ReplayLoop> replay_;
  sim::Socket listener_;
  sim::StopFlag stop_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Clock::time_point> arrivals_;
};

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size())));
  return values[index];
}

void BM_PointerLatency(benchmark::State& state, bool fullMotion) {
  std::string error;
  InProcessAgent agent;
  if (!agent.Start(fullMotion, error)) return state.SkipWithError(error.c_str());
  if (!agent::TcpTransport::InitSockets(error)) return state.SkipWithError(error.c_str());
  agent::TcpTransport::Security security;
  security.token = "latency";
  security.pin = agent.deviceId();
  auto transport = agent::TcpTransport::Connect("127.0.0.1", agent.port(), security, error);
  if (!transport) return state.SkipWithError(error.c_str());

  agent::SystemImageCodec codec;
  SessionPicture picture(&codec);
  std::mutex pictureMutex;
  std::atomic<uint64_t> receivedBytes{0};
  std::atomic<int32_t> monitors{0};
  transport->Start(MakeHeadlessHandler({&receivedBytes, &pictureMutex, &picture, &monitors}));
  // Let the stream reach full rate before the first Pointer.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const uint64_t bytesBefore = receivedBytes.load();
  const auto runStart = Clock::now();

  std::vector<Clock::time_point> sent(kPointers);
  for (auto _ : state) {
    for (int n = 0; n < kPointers; ++n) {
      ControlMessage pointer = MakeControlMessage(ControlKind::Pointer);
      pointer.x = n;
      pointer.y = 32768;
      const std::string text = EncodeControlMessage(pointer);
      sent[static_cast<size_t>(n)] = Clock::now();
      transport->Send(agent::Channel::Control, text);
      std::this_thread::sleep_for(kPointerGap);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - runStart).count();
  const uint64_t bytes = receivedBytes.load() - bytesBefore;
  transport->Close();
  agent::TcpTransport::CleanupSockets();

  std::vector<double> latencies;
  for (int n = 0; n < kPointers; ++n) {
    const auto arrived = agent.arrival(n);
    if (arrived == Clock::time_point{}) continue;
    latencies.push_back(std::chrono::duration<double, std::micro>(arrived - sent[static_cast<size_t>(n)]).count());
  }
  if (latencies.size() != kPointers) return state.SkipWithError("a Pointer never arrived");
  state.counters["p50_us"] = Percentile(latencies, 0.50);
  state.counters["p99_us"] = Percentile(latencies, 0.99);
  state.counters["max_us"] = Percentile(latencies, 1.0);
  state.counters["stream_MBps"] = static_cast<double>(bytes) / seconds / 1e6;
  std::lock_guard<std::mutex> lock(pictureMutex);
  state.counters["tiles_painted"] = static_cast<double>(picture.tilesPainted);
}

BENCHMARK_CAPTURE(BM_PointerLatency, idle, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PointerLatency, full_motion, true)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace stv

BENCHMARK_MAIN();
