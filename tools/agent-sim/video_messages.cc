#include "video_messages.h"

#include <algorithm>

#include "common/byte_order.h"

namespace stv::sim {

Bytes BuildFrameStart(uint32_t frameTag, bool keyframe, uint16_t width, uint16_t height, uint32_t extra) {
  Bytes out;
  out.reserve(kFrameStartSize);
  out.push_back(static_cast<uint8_t>(VideoMessageType::FrameStart));
  AppendU32Be(out, frameTag);
  out.push_back(keyframe ? 1 : 0);
  AppendU16Be(out, width);
  AppendU16Be(out, height);
  AppendU32Be(out, extra);
  return out;
}

namespace {

void AppendTileGeometry(Bytes& out, const EncodedTile& tile) {
  AppendU16Be(out, tile.tag);
  AppendU16Be(out, tile.x);
  AppendU16Be(out, tile.y);
  AppendU16Be(out, tile.w);
  AppendU16Be(out, tile.h);
  out.push_back(static_cast<uint8_t>(tile.encoding));
}

}  // namespace

Bytes BuildTile(uint32_t frameTag, const EncodedTile& tile) {
  Bytes out;
  out.reserve(kTileHeaderSize + tile.payload.size());
  out.push_back(static_cast<uint8_t>(VideoMessageType::Tile));
  AppendU32Be(out, frameTag);
  AppendTileGeometry(out, tile);
  out.insert(out.end(), tile.payload.begin(), tile.payload.end());
  return out;
}

Bytes BuildTileBatch(uint32_t frameTag, std::span<const EncodedTile> tiles) {
  size_t size = kBatchHeaderSize;
  for (const EncodedTile& tile : tiles) size += kBatchEntryHeaderSize + tile.payload.size();
  Bytes out;
  out.reserve(size);
  out.push_back(static_cast<uint8_t>(VideoMessageType::TileBatch));
  AppendU32Be(out, frameTag);
  AppendU16Be(out, static_cast<uint32_t>(tiles.size()));
  for (const EncodedTile& tile : tiles) {
    AppendTileGeometry(out, tile);
    AppendU32Be(out, static_cast<uint32_t>(tile.payload.size()));
    out.insert(out.end(), tile.payload.begin(), tile.payload.end());
  }
  return out;
}

Bytes BuildHeartbeat(uint32_t sequence) {
  Bytes out;
  out.push_back(static_cast<uint8_t>(VideoMessageType::Heartbeat));
  AppendU32Be(out, sequence);
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
  out.push_back(static_cast<uint8_t>(VideoMessageType::StreamEnvelope));
  AppendU32Be(out, streamId_);
  AppendU16Be(out, width_);
  AppendU16Be(out, height_);
  return out;
}

void StreamWrapper::WrapOrphanFragment(uint32_t totalLength, std::vector<Bytes>& out) {
  constexpr auto kSmallest = static_cast<uint32_t>(kFragmentPayloadSize + 1);
  totalLength = std::clamp(totalLength, kSmallest, static_cast<uint32_t>(kMaxReassembledSize));
  const uint32_t count = static_cast<uint32_t>((totalLength + kFragmentPayloadSize - 1) / kFragmentPayloadSize);
  Bytes wire = Envelope(kFragmentHeaderSize + kFragmentPayloadSize);
  wire.push_back(static_cast<uint8_t>(VideoMessageType::Fragment));
  AppendU32Be(wire, nextMessageId_++);
  AppendU32Be(wire, totalLength);
  AppendU16Be(wire, 0);
  AppendU16Be(wire, count);
  wire.resize(wire.size() + kFragmentPayloadSize, 0);
  out.push_back(std::move(wire));
}

void StreamWrapper::Wrap(std::span<const uint8_t> message, std::vector<Bytes>& out, uint32_t frameTag) {
  const size_t first = out.size();
  Wrap(message, out);
  if (message.size() < 5) return;
  WriteU32Be(&out[first][kEnvelopeHeaderSize + (GoesWhole(message.size()) ? 0 : kFragmentHeaderSize) + 1], frameTag);
}

void StreamWrapper::Wrap(std::span<const uint8_t> message, std::vector<Bytes>& out) {
  if (GoesWhole(message.size())) {
    Bytes wire = Envelope(message.size());
    wire.insert(wire.end(), message.begin(), message.end());
    out.push_back(std::move(wire));
    return;
  }
  const uint32_t id = nextMessageId_++;
  const uint32_t total = static_cast<uint32_t>(message.size());
  const uint32_t count = static_cast<uint32_t>((message.size() + kFragmentPayloadSize - 1) / kFragmentPayloadSize);
  for (uint32_t index = 0; index < count; ++index) {
    const size_t offset = static_cast<size_t>(index) * kFragmentPayloadSize;
    const size_t share = std::min(kFragmentPayloadSize, message.size() - offset);
    Bytes wire = Envelope(kFragmentHeaderSize + share);
    wire.push_back(static_cast<uint8_t>(VideoMessageType::Fragment));
    AppendU32Be(wire, id);
    AppendU32Be(wire, total);
    AppendU16Be(wire, index);
    AppendU16Be(wire, count);
    wire.insert(wire.end(), message.begin() + offset, message.begin() + offset + share);
    out.push_back(std::move(wire));
  }
}

}  // namespace stv::sim
