// The whole receive path from bytes on the wire: frame headers, control messages and video
// messages through the session's own handler, as the reader thread runs them.
#include <atomic>
#include <cstring>
#include <mutex>

#include "app/dispatch.h"
#include "codec/system_image_codec.h"
#include "transport/tcp_transport.h"

namespace {

using stv::agent::Channel;

// Serves the fuzz input as the byte stream of a connection that ends after it.
class ReplayChannel final : public stv::agent::SecureChannel {
 public:
  ReplayChannel(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Send(const uint8_t*, size_t) override { return true; }
  bool ReceiveExact(uint8_t* buffer, size_t size) override {
    if (size > size_ - offset_) return false;
    if (size) std::memcpy(buffer, data_ + offset_, size);
    offset_ += size;
    return true;
  }
  void Shutdown() override {}
  void Interrupt() override {}
  std::string Describe() const override { return "replay"; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static stv::agent::SystemImageCodec codec;
  stv::SessionPicture picture(&codec);
  // Hostile sizes must be refused by policy, not by the fuzzer's memory limit.
  picture.limits.maxFramebufferPixels = 1u << 22;
  picture.limits.maxReassemblyBytes = 32u << 20;
  std::mutex mutex;
  std::atomic<uint64_t> received{0};
  std::atomic<int32_t> monitors{0};
  stv::TileDecodePool video(picture, mutex, 0);  // decodes on this thread: every run explores alike
  auto handler = stv::MakeHeadlessHandler({&received, &video, &monitors});

  ReplayChannel channel(data, size);
  std::vector<uint8_t> payload;
  Channel which = Channel::Control;
  while (stv::agent::ReadFrame(channel, which, payload) == stv::agent::FrameReadResult::kFrame) {
    handler(which, std::move(payload));
    payload.clear();
  }
  return 0;
}
