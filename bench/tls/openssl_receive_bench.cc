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

void OpenSslChannelReceive(benchmark::State& state) {
  RunSession(state, [](int socket, Bytes& buffer, benchmark::State& timed) {
    // The handshake and the binding check are set-up, not receive throughput.
    timed.PauseTiming();
    stv::agent::OpenSslChannel channel(socket);
    std::string error;
    const bool established = channel.Handshake(Shared().deviceId, false, error);
    timed.ResumeTiming();
    if (!established) return false;
    for (size_t received = 0; received < kStreamSize; received += kReadSize) {
      if (!channel.ReceiveExact(buffer.data(), kReadSize)) return false;
    }
    return true;
  });
}

void BareSslReadReceive(benchmark::State& state) {
  RunSession(state, [](int socket, Bytes& buffer, benchmark::State& timed) {
    timed.PauseTiming();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, socket);
    auto read = [ssl](uint8_t* into, size_t size) -> int {
      for (;;) {
        const int n = SSL_read(ssl, into, static_cast<int>(size));
        // The session's receive time-out shows up as a retryable read.
        if (n > 0 || SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ) return n;
      }
    };
    bool ok = SSL_connect(ssl) == 1;
    for (size_t got = 0; ok && got < Shared().binding.size();) {
      const int n = read(buffer.data(), Shared().binding.size() - got);
      ok = n > 0;
      got += static_cast<size_t>(std::max(n, 0));
    }
    timed.ResumeTiming();
    // Fills the buffer once per pass, as ReceiveExact does, reading whatever records hold.
    for (size_t received = 0; ok && received < kStreamSize;) {
      for (size_t filled = 0; ok && filled < kReadSize;) {
        const int n = read(buffer.data() + filled, kReadSize - filled);
        ok = n > 0;
        filled += static_cast<size_t>(std::max(n, 0));
      }
      received += kReadSize;
    }
    timed.PauseTiming();
    SSL_free(ssl);
    SSL_CTX_free(context);
    timed.ResumeTiming();
    return ok;
  });
}

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
    const auto ours = times_.find("OpenSslChannelReceive");
    const auto bare = times_.find("BareSslReadReceive");
    if (ours == times_.end() || bare == times_.end()) return;
    std::printf("\nTLS receive throughput, OpenSslChannel / bare SSL_read (median of repetitions):\n");
    std::printf("  wall time: %.3f   receiving thread's CPU time: %.3f   (target >= 0.9)\n",
                bare->second.first / ours->second.first, bare->second.second / ours->second.second);
  }

 private:
  std::map<std::string, std::pair<double, double>> times_;
};

}  // namespace

BENCHMARK(BareSslReadReceive)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->Iterations(4);
BENCHMARK(OpenSslChannelReceive)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->Iterations(4);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
