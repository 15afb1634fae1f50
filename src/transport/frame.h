// The wire frame: channel byte, 32-bit big-endian payload length, payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace stv::agent {

// The logical channel of a frame. 2 and 3 are valid on the wire and unused by the viewer.
enum class Channel : uint8_t {
  Control = 0,  // one JSON control message per frame
  Video = 1,    // one binary video message per frame
};

inline constexpr size_t kFrameHeaderSize = 5;
inline constexpr size_t kChannelCount = 4;
inline constexpr uint32_t kMaxFramePayload = 8388608;  // 8 MiB

struct FrameHeader {
  Channel channel = Channel::Control;
  uint32_t length = 0;
};

std::array<uint8_t, kFrameHeaderSize> EncodeFrameHeader(Channel channel, uint32_t length);

// A header with a channel of 4 or more, or a length of 0 or above kMaxFramePayload, is malformed.
std::optional<FrameHeader> DecodeFrameHeader(std::span<const uint8_t, kFrameHeaderSize> bytes);

// Header and payload in one buffer, reusing `frame`'s capacity.
void BuildFrame(Channel channel, std::span<const uint8_t> payload, std::vector<uint8_t>& frame);

}  // namespace stv::agent
