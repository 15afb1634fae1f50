// The supporter's one connection to the agent: TCP, a byte channel over it (plaintext or
// TLS with device pinning), and whole messages in both directions on four logical channels.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "secure/secure_channel.h"
#include "transport/frame.h"

namespace stv::agent {

// Receives every incoming message on the reader thread, in arrival order.
using MessageHandler = std::function<void(Channel, std::vector<uint8_t>&&)>;

inline constexpr size_t kMaxTokenSize = 128;

enum class FrameReadResult {
  kFrame,      // `channel` and `payload` hold the next message
  kEnded,      // the peer closed, an error, or an interrupt
  kMalformed,  // a header with a bad channel or length
};

// Reads one whole frame from `source`, reusing `payload`'s capacity. A frame whose payload
// is cut short is lost with the connection.
FrameReadResult ReadFrame(SecureChannel& source, Channel& channel, std::vector<uint8_t>& payload);

class TcpTransport {
 public:
  struct Security {
    std::string token;           // sent once right after the TLS handshake; at most 128 bytes
    std::string pin;             // the device id the TLS peer must prove
    bool insecureNoPin = false;  // accept an unpinned device, with a warning
    bool plaintext = false;      // no TLS at all: no token, no pin
  };

  // Starts the socket library. False with `error` set when it cannot.
  static bool InitSockets(std::string& error);
  // Releases the socket library; the caller's duty once the transport is gone.
  static void CleanupSockets();

  // Resolves, connects, sets the socket options, builds the channel and, over TLS, sends the
  // session token. Returns an open transport with no threads running, or nullptr with `error`.
  static std::unique_ptr<TcpTransport> Connect(const std::string& host, uint16_t port, const Security& security,
                                               std::string& error);

  TcpTransport(const TcpTransport&) = delete;
  TcpTransport& operator=(const TcpTransport&) = delete;
  ~TcpTransport();

  // Starts the writer, then the reader. Called once, after Connect.
  void Start(MessageHandler handler);
  // Queues a copy of `payload`; never waits for the network. Empty or oversized payloads,
  // and anything sent while the transport is not open, are dropped without a word.
  void Send(Channel channel, std::span<const uint8_t> payload);
  void Send(Channel channel, std::string_view payload) {
    Send(channel, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
  }
  // Ends the connection and joins both threads. Idempotent. Never call it from the handler.
  void Close();
  bool IsOpen() const { return open_.load(); }
  const std::string& Peer() const { return peer_; }

 private:
  TcpTransport() = default;
  void WriterLoop();
  void ReaderLoop();

  SocketHandle socket_ = kInvalidSocket;
  std::unique_ptr<SecureChannel> channel_;
  std::string peer_;
  std::atomic<bool> open_{false};
  std::atomic<bool> closing_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::vector<uint8_t>> queues_[kChannelCount];
  std::thread writer_;
  std::thread reader_;
  MessageHandler handler_;
};

}  // namespace stv::agent
