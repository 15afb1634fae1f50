#include "transport/tcp_transport.h"

#include "diag/log.h"
#include "transport/prompt_wakeup.h"

namespace stv::agent {

bool TcpTransport::InitSockets(std::string& error) { return StartSocketLibrary(error); }

void TcpTransport::CleanupSockets() { StopSocketLibrary(); }

std::unique_ptr<TcpTransport> TcpTransport::Connect(const std::string& host, uint16_t port, const Security& security,
                                                    std::string& error) {
  error.clear();
  const SocketHandle socket = ConnectTcp(host, port, error);
  if (socket == kInvalidSocket) return nullptr;
  ApplySessionSocketOptions(socket);

  std::unique_ptr<TcpTransport> transport(new TcpTransport());
  transport->socket_ = socket;
  transport->peer_ = DescribePeer(socket);

  if (security.plaintext) {
    // Nothing precedes the first frame in plaintext, not even a token.
    transport->channel_ = std::make_unique<PlaintextChannel>(socket);
    transport->open_.store(true);
    return transport;
  }

  transport->channel_ = EstablishTlsChannel(socket, security.pin, security.insecureNoPin, error);
  if (!transport->channel_) {
    // The destructor closes the socket once; the channel never owned it.
    return nullptr;
  }

  Logger::Instance().Info("[transport] sending the session token (%zu bytes)", security.token.size());
  bool sent = security.token.size() <= kMaxTokenSize;
  if (sent) {
    const uint8_t length[2] = {static_cast<uint8_t>(security.token.size() >> 8),
                               static_cast<uint8_t>(security.token.size())};
    sent = transport->channel_->Send(length, sizeof length);
    if (sent && !security.token.empty()) {
      sent = transport->channel_->Send(reinterpret_cast<const uint8_t*>(security.token.data()), security.token.size());
    }
  }
  if (!sent) {
    error = "could not send the session token";
    return nullptr;
  }
  transport->peer_ += " (" + transport->channel_->Describe() + ")";
  transport->open_.store(true);
  return transport;
}

TcpTransport::~TcpTransport() { Close(); }

void TcpTransport::Start(MessageHandler handler) {
  handler_ = std::move(handler);
  writer_ = std::thread([this] { WriterLoop(); });
  reader_ = std::thread([this] { ReaderLoop(); });
}

void TcpTransport::Send(Channel channel, std::span<const uint8_t> payload) {
  const auto index = static_cast<size_t>(channel);
  if (payload.empty() || payload.size() > kMaxFramePayload || index >= kChannelCount) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_.load()) return;
    queues_[index].emplace_back(payload.begin(), payload.end());
  }
  wake_.notify_one();
}

void TcpTransport::WriterLoop() {
  RequestPromptWakeups();
  std::vector<uint8_t> frame;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (closing_.load()) return;
    size_t index = 0;
    while (index < kChannelCount && queues_[index].empty()) ++index;
    if (index == kChannelCount) {
      wake_.wait(lock);
      continue;
    }
    // Strict priority: control input never waits behind a burst of anything else.
    std::vector<uint8_t> message = std::move(queues_[index].front());
    queues_[index].pop_front();
    lock.unlock();
    BuildFrame(static_cast<Channel>(index), message, frame);
    const bool sent = channel_->Send(frame.data(), frame.size());
    if (!sent) {
      // A write cut off by our own Close is not news; only a failure of a live session is.
      if (!closing_.load()) Logger::Instance().Warn("[transport] write failed; closing the session");
      open_.store(false);
      wake_.notify_all();
      return;
    }
    lock.lock();
  }
}

FrameReadResult ReadFrame(SecureChannel& source, Channel& channel, std::vector<uint8_t>& payload) {
  uint8_t header[kFrameHeaderSize];
  if (!source.ReceiveExact(header, sizeof header)) return FrameReadResult::kEnded;
  const auto frame = DecodeFrameHeader(std::span<const uint8_t, kFrameHeaderSize>(header));
  if (!frame) return FrameReadResult::kMalformed;
  payload.resize(frame->length);
  if (!source.ReceiveExact(payload.data(), payload.size())) return FrameReadResult::kEnded;
  channel = frame->channel;
  return FrameReadResult::kFrame;
}

void TcpTransport::ReaderLoop() {
  std::vector<uint8_t> payload;
  Channel channel = Channel::Control;
  while (!closing_.load()) {
    const FrameReadResult result = ReadFrame(*channel_, channel, payload);
    if (result == FrameReadResult::kMalformed) {
      Logger::Instance().Warn("[transport] malformed frame header; closing the session");
    }
    if (result != FrameReadResult::kFrame) break;
    // The next frame reuses whatever buffer the handler leaves, its own or one it hands back;
    // resizing it from its last size clears only what grows, where clearing it first would
    // zero every frame.
    if (handler_) handler_(channel, std::move(payload));
  }
  open_.store(false);
  {
    // Taking the mutex orders this wake-up after a writer that is about to wait.
    std::lock_guard<std::mutex> lock(mutex_);
  }
  wake_.notify_all();
}

void TcpTransport::Close() {
  if (closing_.exchange(true)) return;
  open_.store(false);
  if (socket_ != kInvalidSocket) ShutdownSocket(socket_);
  if (channel_) channel_->Interrupt();
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  if (reader_.joinable()) reader_.join();
  if (channel_) {
    channel_->Shutdown();
    channel_.reset();
  }
  if (socket_ != kInvalidSocket) {
    CloseSocket(socket_);
    socket_ = kInvalidSocket;
  }
}

}  // namespace stv::agent
