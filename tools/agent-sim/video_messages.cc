#include "video_messages.h"

#include <algorithm>

namespace stv::sim {

void AppendU16(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void AppendU32(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

Bytes BuildFrameStart(uint32_t frameTag, bool keyframe, uint16_t width, uint16_t height, uint32_t extra) {
  Bytes out;
  out.reserve(14);
  out.push_back(kFrameStartType);
  AppendU32(out, frameTag);
  out.push_back(keyframe ? 1 : 0);
  AppendU16(out, width);
  AppendU16(out, height);
  AppendU32(out, extra);
  return out;
}

namespace {

void AppendTileGeometry(Bytes& out, const EncodedTile& tile) {
  AppendU16(out, tile.tag);
  AppendU16(out, tile.x);
  AppendU16(out, tile.y);
  AppendU16(out, tile.w);
  AppendU16(out, tile.h);
  out.push_back(tile.encoding);
}

}  // namespace

Bytes BuildTile(uint32_t frameTag, const EncodedTile& tile) {
  Bytes out;
  out.reserve(16 + tile.payload.size());
  out.push_back(kTileType);
  AppendU32(out, frameTag);
  AppendTileGeometry(out, tile);
  out.insert(out.end(), tile.payload.begin(), tile.payload.end());
  return out;
}

Bytes BuildTileBatch(uint32_t frameTag, std::span<const EncodedTile> tiles) {
  size_t size = 7;
  for (const EncodedTile& tile : tiles) size += 15 + tile.payload.size();
  Bytes out;
  out.reserve(size);
  out.push_back(kTileBatchType);
  AppendU32(out, frameTag);
  AppendU16(out, static_cast<uint32_t>(tiles.size()));
  for (const EncodedTile& tile : tiles) {
    AppendTileGeometry(out, tile);
    AppendU32(out, static_cast<uint32_t>(tile.payload.size()));
    out.insert(out.end(), tile.payload.begin(), tile.payload.end());
  }
  return out;
}

Bytes BuildHeartbeat(uint32_t sequence) {
  Bytes out;
  out.push_back(kHeartbeatType);
  AppendU32(out, sequence);
  return out;
}

Bytes BuildHugeFrameStart(uint32_t frameTag) { return BuildFrameStart(frameTag, true, kLargestSide, kLargestSide, 0); }

Bytes BuildEmptyTileBatch(uint32_t frameTag) {
  std::vector<EncodedTile> tiles(kLargestBatch);
  for (size_t i = 0; i < tiles.size(); ++i) {
    tiles[i].tag = static_cast<uint16_t>(i);
    tiles[i].h = 1;
  }
  return BuildTileBatch(frameTag, tiles);
}

Bytes StreamWrapper::Envelope(size_t innerSize) const {
  Bytes out;
  out.reserve(kEnvelopeHeaderSize + innerSize);
  out.push_back(kStreamEnvelopeType);
  AppendU32(out, streamId_);
  AppendU16(out, width_);
  AppendU16(out, height_);
  return out;
}

void StreamWrapper::WrapOrphanFragment(uint32_t totalLength, std::vector<Bytes>& out) {
  constexpr auto kSmallest = static_cast<uint32_t>(kFragmentShare + 1);
  totalLength = std::clamp(totalLength, kSmallest, static_cast<uint32_t>(kMaxWholeMessage));
  const uint32_t count = static_cast<uint32_t>((totalLength + kFragmentShare - 1) / kFragmentShare);
  Bytes wire = Envelope(kFragmentHeaderSize + kFragmentShare);
  wire.push_back(kFragmentType);
  AppendU32(wire, nextMessageId_++);
  AppendU32(wire, totalLength);
  AppendU16(wire, 0);
  AppendU16(wire, count);
  wire.resize(wire.size() + kFragmentShare, 0);
  out.push_back(std::move(wire));
}

void StreamWrapper::Wrap(std::span<const uint8_t> message, std::vector<Bytes>& out) {
  if (message.size() <= threshold_ || message.size() > kMaxWholeMessage) {
    Bytes wire = Envelope(message.size());
    wire.insert(wire.end(), message.begin(), message.end());
    out.push_back(std::move(wire));
    return;
  }
  const uint32_t id = nextMessageId_++;
  const uint32_t total = static_cast<uint32_t>(message.size());
  const uint32_t count = static_cast<uint32_t>((message.size() + kFragmentShare - 1) / kFragmentShare);
  for (uint32_t index = 0; index < count; ++index) {
    const size_t offset = static_cast<size_t>(index) * kFragmentShare;
    const size_t share = std::min(kFragmentShare, message.size() - offset);
    Bytes wire = Envelope(kFragmentHeaderSize + share);
    wire.push_back(kFragmentType);
    AppendU32(wire, id);
    AppendU32(wire, total);
    AppendU16(wire, index);
    AppendU16(wire, count);
    wire.insert(wire.end(), message.begin() + offset, message.begin() + offset + share);
    out.push_back(std::move(wire));
  }
}

}  // namespace stv::sim
