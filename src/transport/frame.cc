#include "transport/frame.h"

#include <cstring>

namespace stv::agent {

std::array<uint8_t, kFrameHeaderSize> EncodeFrameHeader(Channel channel, uint32_t length) {
  return {static_cast<uint8_t>(channel), static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}

std::optional<FrameHeader> DecodeFrameHeader(std::span<const uint8_t, kFrameHeaderSize> bytes) {
  const uint32_t length =
      (uint32_t{bytes[1]} << 24) | (uint32_t{bytes[2]} << 16) | (uint32_t{bytes[3]} << 8) | uint32_t{bytes[4]};
  if (bytes[0] >= kChannelCount || length == 0 || length > kMaxFramePayload) return std::nullopt;
  return FrameHeader{static_cast<Channel>(bytes[0]), length};
}

void BuildFrame(Channel channel, std::span<const uint8_t> payload, std::vector<uint8_t>& frame) {
  frame.resize(kFrameHeaderSize + payload.size());
  const auto header = EncodeFrameHeader(channel, static_cast<uint32_t>(payload.size()));
  std::memcpy(frame.data(), header.data(), header.size());
  if (!payload.empty()) std::memcpy(frame.data() + kFrameHeaderSize, payload.data(), payload.size());
}

}  // namespace stv::agent
