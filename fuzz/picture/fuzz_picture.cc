// A sequence of video messages applied to one picture with the real image codec.
// Input: messages back to back, each a 16-bit big-endian length and that many bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "codec/system_image_codec.h"
#include "common/byte_order.h"
#include "protocol/session_picture.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static stv::agent::SystemImageCodec codec;
  stv::SessionPicture picture(&codec);
  // Smaller bounds than a real session so that each run stays fast and far from the
  // fuzzer's memory limit; the logic that enforces them is the same.
  picture.limits.maxFramebufferPixels = 1u << 20;
  picture.limits.maxReassemblyBytes = 32u << 20;

  std::span<const uint8_t> input(data, size);
  uint64_t applied = 0;
  while (input.size() >= 2) {
    const size_t length = std::min<size_t>(stv::ReadU16Be(input.data()), input.size() - 2);
    const std::span<const uint8_t> message = input.subspan(2, length);
    input = input.subspan(2 + length);
    const uint64_t painted = picture.tilesPainted;
    const bool result = stv::ApplyVideoMessage(picture, message);
    ++applied;
    if (result != (picture.tilesPainted > painted)) std::abort();
    CheckInvariants(picture, applied);
  }
  return 0;
}
