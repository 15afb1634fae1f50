#include "secure/agent_tls_peer.h"

#include <openssl/ssl.h>

#include "support/child_process.h"

namespace stv::testing {
constexpr int kPatienceMs = static_cast<int>(std::chrono::milliseconds(kPatience).count());
constexpr int kWaitSliceMs = 100;

AgentTlsPeer::AgentTlsPeer(sim::TlsServer& tls) : tls_(tls) {
  std::string ignored;
  listener_ = sim::ListenTcp("127.0.0.1", 0, ignored);
}

AgentTlsPeer::~AgentTlsPeer() {
  stop_.Raise();
  Join();
}

void AgentTlsPeer::Start(std::function<void(sim::Socket&)> script) {
  thread_ = std::thread([this, script = std::move(script)] {
    sim::Socket socket = sim::AcceptConnection(listener_, stop_);
    if (socket.valid()) script(socket);
    scriptDone_ = true;
    OPENSSL_thread_stop();  // this thread's error queue dies with it
  });
}

void AgentTlsPeer::Join() {
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<sim::Connection> AgentTlsPeer::Accept(sim::Socket& socket) {
  std::string error;
  return tls_.Accept(std::move(socket), stop_, kPatienceMs, error);
}

size_t Drain(sim::Connection& connection, const sim::StopFlag& stop) {
  uint8_t buffer[16384];
  size_t total = 0;
  for (sim::IoStatus status = sim::IoStatus::kData;
       !stop.raised() && (status == sim::IoStatus::kData || status == sim::IoStatus::kTimedOut);) {
    size_t received = 0;
    status = connection.Receive(buffer, sizeof buffer, kWaitSliceMs, received);
    if (status == sim::IoStatus::kData) total += received;
  }
  return total;
}

MemoryTlsSession::MemoryTlsSession(SSL_CTX* context)
    : ssl_(SSL_new(context)), in_(BIO_new(BIO_s_mem())), out_(BIO_new(BIO_s_mem())) {
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_accept_state(ssl_);
}

MemoryTlsSession::~MemoryTlsSession() { SSL_free(ssl_); }

void MemoryTlsSession::Handshake(sim::Connection& raw, const sim::StopFlag& stop) {
  uint8_t buffer[16384];
  for (int result; (result = SSL_do_handshake(ssl_)) != 1 && SSL_get_error(ssl_, result) == SSL_ERROR_WANT_READ;) {
    if (!raw.Send(TakeSealed(), stop)) return;
    size_t received = 0;
    sim::IoStatus status = sim::IoStatus::kTimedOut;
    while (status == sim::IoStatus::kTimedOut && !stop.raised()) {
      status = raw.Receive(buffer, sizeof buffer, kWaitSliceMs, received);
    }
    if (status != sim::IoStatus::kData) return;
    BIO_write(in_, buffer, static_cast<int>(received));
  }
}

void MemoryTlsSession::Seal(std::span<const uint8_t> plaintext) {
  if (!plaintext.empty()) SSL_write(ssl_, plaintext.data(), static_cast<int>(plaintext.size()));
}

std::vector<uint8_t> MemoryTlsSession::TakeSealed() {
  std::vector<uint8_t> sealed(BIO_ctrl_pending(out_));
  if (!sealed.empty()) BIO_read(out_, sealed.data(), static_cast<int>(sealed.size()));
  return sealed;
}

}  // namespace stv::testing
