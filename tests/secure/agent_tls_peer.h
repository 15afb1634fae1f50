// The agent's side of TLS for the channel's tests and benchmark: its TLS server running a script
// on one loopback connection, and a server session over memory that decides which ciphertext leaves when.
#pragma once

#include <openssl/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "connection.h"
#include "tls_server.h"

namespace stv::testing {

// Listens on a free loopback port; Start accepts one connection on a thread and runs
// `script` on its socket. The destructor stops a script that still waits, and joins.
class AgentTlsPeer {
 public:
  explicit AgentTlsPeer(sim::TlsServer& tls);
  ~AgentTlsPeer();

  uint16_t port() const { return sim::LocalPort(listener_); }
  const sim::StopFlag& stop() const { return stop_; }
  void Start(std::function<void(sim::Socket&)> script);
  void Join();
  bool ScriptDone() const { return scriptDone_; }
  // The agent's server handshake on `socket`; null when it fails.
  std::unique_ptr<sim::Connection> Accept(sim::Socket& socket);

 private:
  sim::TlsServer& tls_;
  sim::Socket listener_;
  sim::StopFlag stop_;
  std::atomic<bool> scriptDone_{false};
  std::thread thread_;
};

// Reads and drops what arrives until the peer leaves or `stop` is raised; how many bytes came.
size_t Drain(sim::Connection& connection, const sim::StopFlag& stop);

// A server session of the agent's TLS context whose records go to memory, not to a socket.
class MemoryTlsSession {
 public:
  explicit MemoryTlsSession(SSL_CTX* context);
  ~MemoryTlsSession();
  MemoryTlsSession(const MemoryTlsSession&) = delete;
  MemoryTlsSession& operator=(const MemoryTlsSession&) = delete;

  // Runs the handshake with the client on `raw` until the final flight is sealed but not sent.
  void Handshake(sim::Connection& raw, const sim::StopFlag& stop);
  void Seal(std::span<const uint8_t> plaintext);
  // The ciphertext sealed and not yet taken.
  std::vector<uint8_t> TakeSealed();
  SSL* ssl() const { return ssl_; }

 private:
  SSL* ssl_;
  BIO* in_;
  BIO* out_;
};

}  // namespace stv::testing
