// How long a Pointer message takes from TcpTransport::Send to the socket, while the viewer
// is busy with a full-motion stream: the supporter's mouse must feel local however much
// picture is arriving. Two clocks stop for each Pointer:
//  - "socket": the kernel's transmit timestamp of the TLS record that carries it (the
//    viewer's socket asks for SO_TIMESTAMPING), i.e. the moment its bytes leave the viewer;
//    this holds the writer thread's wake-up, framing, sealing and the send call.
//  - "agent": stv-agent-sim's session, in this process so that both ends read one clock,
//    stamps each Pointer as its reading thread decodes it: that adds the agent's own
//    wake-up and TLS decryption.
// The viewer side is the product's transport with the headless handler decoding every tile.
//
// "idle" sends the same Pointers to an agent that sends nothing but heartbeats: the
// reference for the same machine in the same run.

#include <time.h>  // before errqueue.h, which uses timespec

#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

// The viewer's connected socket: the one whose peer is the agent's port. The transport
// keeps its socket to itself; the benchmark only adds timestamping to it.
int FindSocketTo(uint16_t port) {
  for (int fd = 3; fd < 1024; ++fd) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == port) {
      return fd;
    }
  }
  return -1;
}

bool EnableTransmitTimestamps(int fd) {
  const int flags =
      SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_ID | SOF_TIMESTAMPING_OPT_TSONLY;
  return setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) == 0;
}

double RealtimeMicros() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) * 1e-3;
}

// The transmit timestamps queued on `fd` so far, oldest first, in CLOCK_REALTIME microseconds.
// Each send call of the writer (one sealed Pointer) yields one.
void DrainTransmitTimestamps(int fd, std::vector<double>& stamps) {
  for (;;) {
    char control[512];
    msghdr message{};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPING) {
        const auto* times = reinterpret_cast<const scm_timestamping*>(CMSG_DATA(c));
        stamps.push_back(static_cast<double>(times->ts[0].tv_sec) * 1e6 +
                         static_cast<double>(times->ts[0].tv_nsec) * 1e-3);
      }
    }
  }
}

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
  auto video = std::make_unique<TileDecodePool>(picture, pictureMutex, DecodeThreadCount());
  transport->Start(MakeHeadlessHandler({&receivedBytes, video.get(), &monitors}));
  // Let the stream reach full rate before the first Pointer.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const uint64_t bytesBefore = receivedBytes.load();
  const auto runStart = Clock::now();

  const int socket = FindSocketTo(agent.port());
  if (socket < 0 || !EnableTransmitTimestamps(socket)) return state.SkipWithError("no transmit timestamps");

  std::vector<Clock::time_point> sent(kPointers);
  std::vector<double> sentRealtime(kPointers);
  std::vector<double> transmitted;
  for (auto _ : state) {
    for (int n = 0; n < kPointers; ++n) {
      ControlMessage pointer = MakeControlMessage(ControlKind::Pointer);
      pointer.x = n;
      pointer.y = 32768;
      const std::string text = EncodeControlMessage(pointer);
      sent[static_cast<size_t>(n)] = Clock::now();
      sentRealtime[static_cast<size_t>(n)] = RealtimeMicros();
      transport->Send(agent::Channel::Control, text);
      std::this_thread::sleep_for(kPointerGap);
      DrainTransmitTimestamps(socket, transmitted);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    DrainTransmitTimestamps(socket, transmitted);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - runStart).count();
  const uint64_t bytes = receivedBytes.load() - bytesBefore;
  transport->Close();
  agent::TcpTransport::CleanupSockets();
  video.reset();

  std::vector<double> latencies;
  for (int n = 0; n < kPointers; ++n) {
    const auto arrived = agent.arrival(n);
    if (arrived == Clock::time_point{}) continue;
    latencies.push_back(std::chrono::duration<double, std::micro>(arrived - sent[static_cast<size_t>(n)]).count());
  }
  if (latencies.size() != kPointers) return state.SkipWithError("a Pointer never arrived");
  // Nothing else is sent in this session, so the n-th timestamp belongs to the n-th Pointer.
  if (transmitted.size() != kPointers) return state.SkipWithError("a transmit timestamp is missing");
  std::vector<double> toSocket;
  for (int n = 0; n < kPointers; ++n) {
    toSocket.push_back(transmitted[static_cast<size_t>(n)] - sentRealtime[static_cast<size_t>(n)]);
  }
  state.counters["socket_p50_us"] = Percentile(toSocket, 0.50);
  state.counters["socket_p99_us"] = Percentile(toSocket, 0.99);
  state.counters["socket_max_us"] = Percentile(toSocket, 1.0);
  state.counters["agent_p50_us"] = Percentile(latencies, 0.50);
  state.counters["agent_p99_us"] = Percentile(latencies, 0.99);
  state.counters["agent_max_us"] = Percentile(latencies, 1.0);
  state.counters["stream_MBps"] = static_cast<double>(bytes) / seconds / 1e6;
  std::lock_guard<std::mutex> lock(pictureMutex);
  state.counters["tiles_painted"] = static_cast<double>(picture.tilesPainted);
}

BENCHMARK_CAPTURE(BM_PointerLatency, idle, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PointerLatency, full_motion, true)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace stv

BENCHMARK_MAIN();
