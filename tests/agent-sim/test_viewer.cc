#include "agent-sim/test_viewer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "secure/openssl_channel.h"
#include "support/child_process.h"
#include "transport/frame.h"

namespace stv::sim::testing {

std::unique_ptr<TestViewer> TestViewer::Connect(uint16_t port, const std::optional<std::string>& pin) {
  std::string error;
  const agent::SocketHandle socket = agent::ConnectTcp("127.0.0.1", port, error);
  if (socket == agent::kInvalidSocket) return nullptr;
  agent::ApplySessionSocketOptions(socket);
  std::unique_ptr<TestViewer> viewer(new TestViewer(socket));
  if (pin) {
    auto channel = std::make_unique<agent::OpenSslChannel>(socket);
    if (!channel->Handshake(*pin, false, error)) return nullptr;
    viewer->channel_ = std::move(channel);
  } else {
    viewer->channel_ = std::make_unique<agent::PlaintextChannel>(socket);
  }
  viewer->watchdog_ = std::jthread([channel = viewer->channel_.get()](std::stop_token stop) {
    std::mutex mutex;
    std::unique_lock<std::mutex> lock(mutex);
    std::condition_variable_any().wait_for(lock, stop, stv::testing::kPatience, [] { return false; });
    if (!stop.stop_requested()) channel->Interrupt();
  });
  return viewer;
}

TestViewer::~TestViewer() {
  watchdog_ = {};
  channel_.reset();
  agent::CloseSocket(socket_);
}

bool TestViewer::ReadExact(uint8_t* buffer, size_t size) { return channel_->ReceiveExact(buffer, size); }

Bytes TestViewer::ReadUntilClosed(bool& closed) {
  const auto deadline = std::chrono::steady_clock::now() + stv::testing::kPatience;
  Bytes out;
  uint8_t chunk[16384];
  agent::ReceiveStatus status = agent::ReceiveStatus::kTimedOut;
  while (status != agent::ReceiveStatus::kClosed && status != agent::ReceiveStatus::kError &&
         std::chrono::steady_clock::now() < deadline) {
    size_t received = 0;
    status = agent::ReceiveSome(socket_, chunk, sizeof chunk, received);
    if (status == agent::ReceiveStatus::kData) out.insert(out.end(), chunk, chunk + received);
  }
  closed = status == agent::ReceiveStatus::kClosed;
  return out;
}

std::optional<WireFrame> TestViewer::ReadFrame() {
  uint8_t header[agent::kFrameHeaderSize];
  if (!ReadExact(header, sizeof header)) return std::nullopt;
  const std::optional<agent::FrameHeader> decoded = agent::DecodeFrameHeader(header);
  if (!decoded) return std::nullopt;
  WireFrame frame{static_cast<uint8_t>(decoded->channel), Bytes(decoded->length)};
  if (!ReadExact(frame.payload.data(), frame.payload.size())) return std::nullopt;
  return frame;
}

bool TestViewer::SendToken(const std::string& token) {
  Bytes bytes = {static_cast<uint8_t>(token.size() >> 8), static_cast<uint8_t>(token.size())};
  bytes.insert(bytes.end(), token.begin(), token.end());
  return channel_->Send(bytes.data(), bytes.size());
}

bool TestViewer::SendControl(const std::string& json) {
  Bytes frame;
  agent::BuildFrame(agent::Channel::Control, Bytes(json.begin(), json.end()), frame);
  return channel_->Send(frame.data(), frame.size());
}

}  // namespace stv::sim::testing
