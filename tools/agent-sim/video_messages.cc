#include "video_messages.h"

#include <algorithm>

#include "common/byte_order.h"
#include "transport/frame.h"

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

namespace {

// Below this a body is copied into a gathered batch rather than referred to: a piece of its
// own would cost the write more than the copy, and small messages are often temporaries.
constexpr size_t kGatherReferFrom = 4096;

}  // namespace

void WireGather::Clear() {
  copied_.clear();
  segments_.clear();
}

void WireGather::Copy(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  if (segments_.empty() || segments_.back().external != nullptr) segments_.push_back({nullptr, copied_.size(), 0});
  copied_.insert(copied_.end(), bytes.begin(), bytes.end());
  segments_.back().size += bytes.size();
}

void WireGather::Refer(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) segments_.push_back({bytes.data(), 0, bytes.size()});
}

std::vector<std::span<const uint8_t>> WireGather::Spans() const {
  std::vector<std::span<const uint8_t>> spans;
  spans.reserve(segments_.size());
  for (const Segment& segment : segments_) {
    const uint8_t* begin = segment.external != nullptr ? segment.external : copied_.data() + segment.offset;
    spans.emplace_back(begin, segment.size);
  }
  return spans;
}

void WireOut::Add(std::span<const uint8_t> head, std::span<const uint8_t> body) {
  if (messages_ != nullptr) {
    Bytes& wire = messages_->emplace_back();
    wire.reserve(head.size() + body.size());
    wire.insert(wire.end(), head.begin(), head.end());
    wire.insert(wire.end(), body.begin(), body.end());
    return;
  }
  const auto header = agent::EncodeFrameHeader(agent::Channel::Video, static_cast<uint32_t>(head.size() + body.size()));
  gather_->Copy(header);
  gather_->Copy(head);
  if (body.size() >= kGatherReferFrom) {
    gather_->Refer(body);
  } else {
    gather_->Copy(body);
  }
}

Bytes StreamWrapper::Head() const {
  Bytes head;
  head.reserve(kEnvelopeHeaderSize + kFragmentHeaderSize);
  head.push_back(static_cast<uint8_t>(VideoMessageType::StreamEnvelope));
  AppendU32Be(head, streamId_);
  AppendU16Be(head, width_);
  AppendU16Be(head, height_);
  return head;
}

void StreamWrapper::SetFragmentHeader(Bytes& head, uint32_t id, uint32_t totalLength, uint32_t index, uint32_t count) {
  head.resize(kEnvelopeHeaderSize);
  head.push_back(static_cast<uint8_t>(VideoMessageType::Fragment));
  AppendU32Be(head, id);
  AppendU32Be(head, totalLength);
  AppendU16Be(head, static_cast<uint16_t>(index));
  AppendU16Be(head, static_cast<uint16_t>(count));
}

void StreamWrapper::WrapOrphanFragment(uint32_t totalLength, WireOut out) {
  constexpr auto kSmallest = static_cast<uint32_t>(kFragmentPayloadSize + 1);
  totalLength = std::clamp(totalLength, kSmallest, static_cast<uint32_t>(kMaxReassembledSize));
  const uint32_t count = static_cast<uint32_t>((totalLength + kFragmentPayloadSize - 1) / kFragmentPayloadSize);
  Bytes head = Head();
  SetFragmentHeader(head, nextMessageId_++, totalLength, 0, count);
  static const Bytes zeros(kFragmentPayloadSize, 0);
  out.Add(head, zeros);
}

void StreamWrapper::Wrap(std::span<const uint8_t> message, WireOut out, std::optional<uint32_t> frameTag) {
  Bytes head = Head();
  // The tag is in the message's bytes 1 to 4, so in its first piece; they go out with that
  // piece's head, changed, and the message itself stays as it is.
  const auto addFirst = [&](std::span<const uint8_t> body) {
    if (frameTag && body.size() >= 5) {
      head.insert(head.end(), body.begin(), body.begin() + 5);
      WriteU32Be(&head[head.size() - 4], *frameTag);
      body = body.subspan(5);
    }
    out.Add(head, body);
  };
  if (GoesWhole(message.size())) {
    addFirst(message);
    return;
  }
  const uint32_t id = nextMessageId_++;
  const uint32_t total = static_cast<uint32_t>(message.size());
  const uint32_t count = static_cast<uint32_t>((message.size() + kFragmentPayloadSize - 1) / kFragmentPayloadSize);
  for (uint32_t index = 0; index < count; ++index) {
    const size_t offset = static_cast<size_t>(index) * kFragmentPayloadSize;
    const size_t share = std::min(kFragmentPayloadSize, message.size() - offset);
    SetFragmentHeader(head, id, total, index, count);
    if (index == 0) {
      addFirst(message.subspan(offset, share));
    } else {
      out.Add(head, message.subspan(offset, share));
    }
  }
}

}  // namespace stv::sim
