// Receive throughput of OpenSslChannel against a bare SSL_read loop on a socket: the same
// server, the same cipher, the same bytes. The server seals the whole stream before it
// sends, so its own encryption never paces the receiver; only the client side is timed.
// After the usual table, prints ours/bare from medians measured in this same run.
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "secure/openssl_channel.h"
#include "tls/openssl_test_peer.h"

namespace {

using stv::testing::Bytes;

constexpr size_t kStreamSize = 32 << 20;
constexpr size_t kReadSize = 65536;  // what one ReceiveExact or SSL_read asks for
// The transport's frames as video fills them: a 9-byte header, then the rest of a 16 KiB
// record, each read with a call of its own.
constexpr size_t kFrameHeaderSize = 9;
constexpr size_t kFrameSize = 16384;

struct Fixture {
  stv::testing::TlsIdentity identity = stv::testing::TlsIdentity::Generate("bench");
  stv::testing::DeviceKey device = stv::testing::DeviceKey::Generate();
  Bytes binding = stv::testing::SignedBinding(device, identity.certificateDer);
  std::string deviceId = stv::agent::ComputeDeviceId(device.PublicPoint());
  Bytes payload = stv::testing::Pattern(kStreamSize, 1);
};

Fixture& Shared() {
  static Fixture* fixture = new Fixture();
  return *fixture;
}

// After the handshake, seals the binding and the payload into memory, then sends it all raw.
void ServeSealedStream(stv::testing::ServerConnection& connection, std::string& cipher) {
  if (!connection.Accept()) return;
  cipher = SSL_get_cipher_name(connection.ssl());
  BIO* sealed = BIO_new(BIO_s_mem());
  SSL_set0_wbio(connection.ssl(), sealed);
  const Fixture& fixture = Shared();
  connection.Write(fixture.binding);
  connection.Write(fixture.payload);
  char* data = nullptr;
  const long size = BIO_get_mem_data(sealed, &data);
  for (long sent = 0; sent < size;) {
    const ssize_t n = ::send(connection.socket(), data + sent, static_cast<size_t>(size - sent), MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += n;
  }
  uint8_t rest[256];
  while (::recv(connection.socket(), rest, sizeof rest, 0) > 0) {
  }
}

// Connects a fresh client to a fresh server; `receive` runs the timed part.
template <typename Receive>
void RunSession(benchmark::State& state, Receive receive) {
  Bytes buffer(kReadSize);
  std::string cipher;
  for (auto _ : state) {
    state.PauseTiming();
    stv::testing::TlsTestServer server({&Shared().identity});
    server.Start([&cipher](stv::testing::ServerConnection& c) { ServeSealedStream(c, cipher); });
    const int socket = stv::testing::ConnectLoopback(server.port());
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = receive(socket, buffer, state);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    state.PauseTiming();
    if (!ok) state.SkipWithError("the stream did not arrive whole");
    if (buffer != Bytes(Shared().payload.end() - kReadSize, Shared().payload.end())) {
      state.SkipWithError("wrong bytes");
    }
    ::close(socket);
    server.Join();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kStreamSize));
  state.SetLabel(cipher);
}

// How a receive test reads the stream after the binding: `read` fills exactly the bytes
// asked for, or fails.
enum class Pattern { kBlocks, kFrames };

template <typename ReadExact>
bool ReadStream(Pattern pattern, Bytes& buffer, ReadExact read) {
  if (pattern == Pattern::kBlocks) {
    for (size_t received = 0; received < kStreamSize; received += kReadSize) {
      if (!read(buffer.data(), kReadSize)) return false;
    }
    return true;
  }
  // The last frame ends where the stream does, so the check on the buffer's tail still holds.
  static_assert(kStreamSize % kFrameSize == 0 && kReadSize % kFrameSize == 0);
  for (size_t received = 0; received < kStreamSize; received += kFrameSize) {
    uint8_t* frame = buffer.data() + received % kReadSize;
    if (!read(frame, kFrameHeaderSize) || !read(frame + kFrameHeaderSize, kFrameSize - kFrameHeaderSize)) {
      return false;
    }
  }
  return true;
}

void ChannelReceive(benchmark::State& state, Pattern pattern) {
  RunSession(state, [pattern](int socket, Bytes& buffer, benchmark::State& timed) {
    // The handshake and the binding check are set-up, not receive throughput.
    timed.PauseTiming();
    stv::agent::OpenSslChannel channel(socket);
    std::string error;
    const bool established = channel.Handshake(Shared().deviceId, false, error);
    timed.ResumeTiming();
    return established && ReadStream(pattern, buffer, [&channel](uint8_t* into, size_t size) {
             return channel.ReceiveExact(into, size);
           });
  });
}

void BareReceive(benchmark::State& state, Pattern pattern) {
  RunSession(state, [pattern](int socket, Bytes& buffer, benchmark::State& timed) {
    timed.PauseTiming();
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
    bool ok = SSL_connect(ssl) == 1 && read(buffer.data(), Shared().binding.size());
    timed.ResumeTiming();
    ok = ok && ReadStream(pattern, buffer, read);
    timed.PauseTiming();
    SSL_free(ssl);
    SSL_CTX_free(context);
    timed.ResumeTiming();
    return ok;
  });
}

void OpenSslChannelReceive(benchmark::State& state) { ChannelReceive(state, Pattern::kBlocks); }
void BareSslReadReceive(benchmark::State& state) { BareReceive(state, Pattern::kBlocks); }
void OpenSslChannelFrames(benchmark::State& state) { ChannelReceive(state, Pattern::kFrames); }
void BareSslReadFrames(benchmark::State& state) { BareReceive(state, Pattern::kFrames); }

// Collects medians of wall and CPU time so the ratio comes from this run alone.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" && !run.error_occurred) {
        times_[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nTLS receive throughput, OpenSslChannel / bare SSL_read (median of repetitions):\n");
    PrintRatio("64 KiB reads", "OpenSslChannelReceive", "BareSslReadReceive");
    PrintRatio("16 KiB frames", "OpenSslChannelFrames", "BareSslReadFrames");
  }

  void PrintRatio(const char* label, const std::string& oursName, const std::string& bareName) const {
    const auto ours = times_.find(oursName);
    const auto bare = times_.find(bareName);
    if (ours == times_.end() || bare == times_.end()) return;
    std::printf("  %-14s wall time: %.3f   receiving thread's CPU time: %.3f   (target >= 0.9)\n", label,
                bare->second.first / ours->second.first, bare->second.second / ours->second.second);
  }

 private:
  std::map<std::string, std::pair<double, double>> times_;
};

}  // namespace

BENCHMARK(BareSslReadReceive)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->Iterations(4);
BENCHMARK(OpenSslChannelReceive)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->Iterations(4);
BENCHMARK(BareSslReadFrames)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->Iterations(4);
BENCHMARK(OpenSslChannelFrames)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->Iterations(4);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
