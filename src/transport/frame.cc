#include "transport/frame.h"

#include "common/byte_order.h"

namespace stv::agent {

std::array<uint8_t, kFrameHeaderSize> EncodeFrameHeader(Channel channel, uint32_t length) {
  std::array<uint8_t, kFrameHeaderSize> header{static_cast<uint8_t>(channel)};
  WriteU32Be(&header[1], length);
  return header;
}

std::optional<FrameHeader> DecodeFrameHeader(std::span<const uint8_t, kFrameHeaderSize> bytes) {
  const uint32_t length = ReadU32Be(&bytes[1]);
  if (bytes[0] >= kChannelCount || length == 0 || length > kMaxFramePayload) return std::nullopt;
  return FrameHeader{static_cast<Channel>(bytes[0]), length};
}

void BuildFrame(Channel channel, std::span<const uint8_t> payload, std::vector<uint8_t>& frame) {
  // Inserted, not resized and copied over, so the bytes are written once.
  const auto header = EncodeFrameHeader(channel, static_cast<uint32_t>(payload.size()));
  frame.assign(header.begin(), header.end());
  frame.insert(frame.end(), payload.begin(), payload.end());
}

}  // namespace stv::agent
