// Receive throughput of OpenSslChannel against a bare SSL_read loop on a socket: the same
// server, the same cipher, the same bytes, in the receiving thread's CPU time. The server
// seals the whole stream before it sends, so its own encryption never paces the receiver.
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>

#include "thread_cpu_time.h"

#include "device_binding_message.h"
#include "secure/agent_tls_peer.h"
#include "secure/openssl_channel.h"
#include "support/wire.h"

namespace {

using stv::testing::Bytes;

constexpr size_t kStreamSize = 32 << 20;
constexpr size_t kReadSize = 65536;  // what one ReceiveExact or SSL_read asks for
// The transport's frames as video fills them: a 5-byte header, then a 16 KiB payload.
constexpr size_t kFrameHeaderSize = 5;
constexpr size_t kFrameSize = kFrameHeaderSize + 16384;

struct Fixture {
  std::string error;
  std::unique_ptr<stv::sim::TlsServer> tls = stv::sim::TlsServer::Create(error);
  std::unique_ptr<stv::sim::DeviceKey> device = stv::sim::DeviceKey::Generate();
  Bytes binding = *stv::sim::BuildDeviceBinding(*device, tls->certificateDer(), {}, stv::sim::Fault::kNone);
  std::string deviceId = stv::agent::ComputeDeviceId(device->publicPoint());
  Bytes payload = stv::testing::Pattern(kStreamSize, 1);
};

Fixture& Shared() {
  static Fixture* fixture = new Fixture();
  return *fixture;
}

// How the stream is sealed and read: in 64 KiB reads of full 16 KiB records, or in the
// transport's frames, each sealed by its own write as the agent's sender does (a 16 KiB
// record and a 5-byte one) and read as a header and a payload.
enum class Pattern { kBlocks, kFrames };

// Seals the final flight of the handshake, the binding and the payload into memory, then
// sends it all raw.
void ServeSealedStream(stv::sim::Socket& socket, const stv::sim::StopFlag& stop, std::string& cipher, Pattern pattern) {
  auto raw = stv::sim::MakePlainConnection(std::move(socket));
  const Fixture& fixture = Shared();
  stv::testing::MemoryTlsSession session(fixture.tls->context());
  session.Handshake(*raw, stop);
  cipher = SSL_get_cipher_name(session.ssl());
  session.Seal(fixture.binding);
  const size_t writeSize = pattern == Pattern::kBlocks ? fixture.payload.size() : kFrameSize;
  for (size_t at = 0; at < fixture.payload.size(); at += writeSize) {
    session.Seal(std::span(fixture.payload).subspan(at, std::min(writeSize, fixture.payload.size() - at)));
  }
  if (raw->Send(session.TakeSealed(), stop)) stv::testing::Drain(*raw, stop);
}

// One fresh connection to a fresh server, received by `receive`, which returns the CPU
// seconds its receiving part took (set-up excluded), or nothing when the stream did not
// arrive whole.
template <typename Receive>
std::optional<double> ReceiveOnce(Bytes& buffer, std::string& cipher, Pattern pattern, Receive receive) {
  stv::testing::AgentTlsPeer server(*Shared().tls);
  server.Start([&](stv::sim::Socket& s) { ServeSealedStream(s, server.stop(), cipher, pattern); });
  std::string error;
  const int socket = stv::agent::ConnectTcp("127.0.0.1", server.port(), error);
  if (socket >= 0) stv::agent::ApplySessionSocketOptions(socket);
  std::optional<double> seconds = receive(socket, buffer);
  ::close(socket);
  server.Join();
  return seconds;
}

// How a receiver reads the stream after the binding: `read` fills exactly the bytes asked
// for, or fails. True when the whole stream came and its last bytes are the stream's.
template <typename ReadExact>
bool ReadStream(Pattern pattern, Bytes& buffer, ReadExact read) {
  const size_t step = pattern == Pattern::kBlocks ? kReadSize : kFrameSize;
  size_t last = 0;
  for (size_t received = 0; received < kStreamSize; received += last) {
    last = std::min(step, kStreamSize - received);
    const size_t first = pattern == Pattern::kBlocks ? last : std::min(kFrameHeaderSize, last);
    if (!read(buffer.data(), first) || !read(buffer.data() + first, last - first)) return false;
  }
  const Bytes& stream = Shared().payload;
  return std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(last),
                    stream.end() - static_cast<std::ptrdiff_t>(last));
}

// Times `read` over the stream in this thread's CPU time.
template <typename ReadExact>
std::optional<double> TimedStream(Pattern pattern, Bytes& buffer, ReadExact read) {
  const double start = stv::ThreadCpuSeconds();
  if (!ReadStream(pattern, buffer, read)) return std::nullopt;
  return stv::ThreadCpuSeconds() - start;
}

std::optional<double> ChannelReceive(int socket, Bytes& buffer, Pattern pattern) {
  // The handshake and the binding check are set-up, not receive throughput.
  stv::agent::OpenSslChannel channel(socket);
  std::string error;
  if (!channel.Handshake(Shared().deviceId, false, error)) return std::nullopt;
  return TimedStream(pattern, buffer,
                     [&channel](uint8_t* into, size_t size) { return channel.ReceiveExact(into, size); });
}

std::optional<double> BareReceive(int socket, Bytes& buffer, Pattern pattern) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, socket);
  // Fills exactly `size` bytes, reading whatever records hold.
  auto read = [ssl](uint8_t* into, size_t size) {
    for (size_t filled = 0; filled < size;) {
      const int n = SSL_read(ssl, into + filled, static_cast<int>(size - filled));
      if (n > 0) {
        filled += static_cast<size_t>(n);
      } else if (SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ) {
        return false;  // the session's receive time-out shows up as a retryable read
      }
    }
    return true;
  };
  std::optional<double> seconds;
  if (SSL_connect(ssl) == 1 && read(buffer.data(), Shared().binding.size())) {
    seconds = TimedStream(pattern, buffer, read);
  }
  SSL_free(ssl);
  SSL_CTX_free(context);
  return seconds;
}

// Each iteration receives the stream once through the channel and once through the bare
// loop, alternating which goes first, so both see the same neighbours. The reported time is
// ours; "throughput_ratio" is the bare loop's CPU time over ours (>= 0.9 is the target).
void CompareReceive(benchmark::State& state, Pattern pattern) {
  Bytes buffer(kReadSize);
  std::string cipher;
  double ours = 0;
  double bare = 0;
  bool oursFirst = true;
  for (auto _ : state) {
    std::optional<double> oursNow;
    std::optional<double> bareNow;
    const auto channel = [pattern](int socket, Bytes& b) { return ChannelReceive(socket, b, pattern); };
    const auto bareLoop = [pattern](int socket, Bytes& b) { return BareReceive(socket, b, pattern); };
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == oursFirst) {
        oursNow = ReceiveOnce(buffer, cipher, pattern, channel);
      } else {
        bareNow = ReceiveOnce(buffer, cipher, pattern, bareLoop);
      }
    }
    if (!oursNow || !bareNow) {
      state.SkipWithError("the stream did not arrive whole");
      return;
    }
    ours += *oursNow;
    bare += *bareNow;
    state.SetIterationTime(*oursNow);
    oursFirst = !oursFirst;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kStreamSize));
  state.counters["bare_ms"] = bare * 1e3 / static_cast<double>(state.iterations());
  state.counters["throughput_ratio"] = ours > 0 ? bare / ours : 0;
  state.SetLabel(cipher);
}

// Reads of 64 KiB, which span several records.
void BM_TlsReceiveBlocks(benchmark::State& state) { CompareReceive(state, Pattern::kBlocks); }
// The transport's reads: a frame header, then its payload.
void BM_TlsReceiveFrames(benchmark::State& state) { CompareReceive(state, Pattern::kFrames); }

}  // namespace

BENCHMARK(BM_TlsReceiveBlocks)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_TlsReceiveFrames)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

BENCHMARK_MAIN();
