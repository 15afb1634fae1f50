// A sequence of video messages applied to one picture with the real image codec, one by one
// and through the decoding pool.
// Input: messages back to back, each a 16-bit big-endian length and that many bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <span>
#include <vector>

#include "codec/system_image_codec.h"
#include "common/byte_order.h"
#include "protocol/session_picture.h"
#include "protocol/tile_decode_pool.h"

namespace {

// Nothing may break the picture's own invariants, whatever the stream holds.
void CheckInvariants(const stv::SessionPicture& picture, uint64_t applied) {
  size_t pending = 0;
  for (const auto& [id, entry] : picture.reassembly) {
    if (entry.buffer.size() != entry.totalLength || entry.have.size() != entry.fragmentCount || entry.received < 0 ||
        static_cast<uint32_t>(entry.received) >= entry.fragmentCount) {
      std::abort();
    }
    pending += entry.buffer.size();
  }
  if (pending != picture.reassemblyBytes || pending > picture.limits.maxReassemblyBytes) std::abort();
  if (picture.framebuffer.size() != static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) * 4) {
    std::abort();
  }
  if (picture.messages != applied || picture.malformed > applied) std::abort();
}

// The same messages through the decoding pool must give the same picture and counters. With no
// threads of its own the pool decodes in one fixed order, so every run explores alike; a small
// backlog makes it wait and catch up often.
void CheckPoolAgrees(const stv::SessionPicture& picture, const std::vector<std::span<const uint8_t>>& messages) {
  stv::SessionPicture pooled(picture.codec);
  pooled.limits = picture.limits;
  std::mutex mutex;
  {
    stv::TileDecodePool pool(pooled, mutex, 0, {}, {4, 1u << 16});
    for (const auto& message : messages) pool.Apply(std::vector<uint8_t>(message.begin(), message.end()));
  }
  if (pooled.messages != picture.messages || pooled.bytes != picture.bytes || pooled.frames != picture.frames ||
      pooled.keyframes != picture.keyframes || pooled.tilesPainted != picture.tilesPainted ||
      pooled.heartbeats != picture.heartbeats || pooled.undecodable != picture.undecodable ||
      pooled.malformed != picture.malformed || pooled.width != picture.width || pooled.height != picture.height ||
      pooled.framebuffer != picture.framebuffer) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static stv::agent::SystemImageCodec codec;
  stv::SessionPicture picture(&codec);
  // Smaller bounds than a real session so that each run stays fast and far from the
  // fuzzer's memory limit; the logic that enforces them is the same.
  picture.limits.maxFramebufferPixels = 1u << 20;
  picture.limits.maxReassemblyBytes = 32u << 20;

  std::span<const uint8_t> input(data, size);
  std::vector<std::span<const uint8_t>> messages;
  while (input.size() >= 2) {
    const size_t length = std::min<size_t>(stv::ReadU16Be(input.data()), input.size() - 2);
    const std::span<const uint8_t> message = input.subspan(2, length);
    input = input.subspan(2 + length);
    messages.push_back(message);
    const uint64_t painted = picture.tilesPainted;
    const bool result = stv::ApplyVideoMessage(picture, message);
    if (result != (picture.tilesPainted > painted)) std::abort();
    CheckInvariants(picture, messages.size());
  }
  CheckPoolAgrees(picture, messages);
  return 0;
}
