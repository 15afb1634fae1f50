// The agent's side of the video channel: building frame starts, tiles, tile batches and
// heartbeats, and wrapping each message in stream envelopes, cut into fragments when large.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/video_layout.h"

namespace stv::sim {

using Bytes = std::vector<uint8_t>;

// The agent's own threshold: messages above it go in fragments.
inline constexpr uint32_t kDefaultFragmentThreshold = 65536;

// One encoded tile, ready to go into a Tile or TileBatch message.
struct EncodedTile {
  uint16_t tag = 0;
  uint16_t x = 0;
  uint16_t y = 0;
  uint16_t w = 0;
  uint16_t h = 0;
  // By our convention CodecImage carries WebP and CodecImageAlt JPEG or PNG.
  TileEncoding encoding = TileEncoding::Raw;
  Bytes payload;
};

// `extra` fills the four bytes the viewer does not interpret.
Bytes BuildFrameStart(uint32_t frameTag, bool keyframe, uint16_t width, uint16_t height, uint32_t extra);
Bytes BuildTile(uint32_t frameTag, const EncodedTile& tile);
Bytes BuildTileBatch(uint32_t frameTag, std::span<const EncodedTile> tiles);
Bytes BuildHeartbeat(uint32_t sequence);

// Well-formed messages that only cost the viewer memory or work, for the resource faults.
inline constexpr uint16_t kLargestSide = 65535;
inline constexpr size_t kLargestBatch = 65535;
// A keyframe start announcing the largest picture the wire can describe.
Bytes BuildHugeFrameStart(uint32_t frameTag);
// A batch of kLargestBatch raw tiles of width 0 and height 1, none with any payload.
Bytes BuildEmptyTileBatch(uint32_t frameTag);

// A batch of wire messages for one gathering write: headers and small messages are copied in,
// large bodies are only referred to, so they must stay valid until the batch is sent.
class WireGather {
 public:
  void Clear();
  void Copy(std::span<const uint8_t> bytes);
  void Refer(std::span<const uint8_t> bytes);
  bool empty() const { return segments_.empty(); }
  // The batch in order, as it goes on the wire.
  std::vector<std::span<const uint8_t>> Spans() const;

 private:
  struct Segment {
    const uint8_t* external = nullptr;  // or null: bytes [offset, offset + size) of copied_
    size_t offset = 0;
    size_t size = 0;
  };
  Bytes copied_;
  std::vector<Segment> segments_;
};

// Where wire messages go: each into a buffer of its own, or, for one write of many, as
// transport frames gathered back to back. Either converts to it, so callers pass theirs as
// they are.
class WireOut {
 public:
  WireOut(std::vector<Bytes>& messages) : messages_(&messages) {}
  WireOut(WireGather& gather) : gather_(&gather) {}

  // Adds the wire message made of `head` then `body`.
  void Add(std::span<const uint8_t> head, std::span<const uint8_t> body);

 private:
  std::vector<Bytes>* messages_ = nullptr;
  WireGather* gather_ = nullptr;
};

// Turns whole video messages into what goes on the wire: each one inside a stream
// envelope, or, when larger than the threshold, cut into fragments of kFragmentPayloadSize
// bytes that each travel inside an envelope. Message ids increase with every fragmented
// message, so the viewer's reassembly never mistakes an old id for a new one.
class StreamWrapper {
 public:
  StreamWrapper(uint32_t streamId, uint16_t width, uint16_t height, uint32_t fragmentThreshold)
      : streamId_(streamId), width_(width), height_(height), threshold_(fragmentThreshold) {}

  // Appends the wire messages for `message` to `out`. Messages above kMaxReassembledSize cannot
  // be fragmented and go out in one envelope (the caller keeps them smaller). With `frameTag`,
  // for a message sent again under a new tag (every message type we send carries it in bytes
  // 1 to 4), the tag is written into the wire copy so the message itself stays as is.
  void Wrap(std::span<const uint8_t> message, WireOut out, std::optional<uint32_t> frameTag = std::nullopt);

  // Appends only the first fragment of a `totalLength`-byte message (zeros) under a fresh
  // id; the rest never follows, so the viewer is left holding it. For resource faults.
  void WrapOrphanFragment(uint32_t totalLength, WireOut out);

  uint32_t nextMessageId() const { return nextMessageId_; }

 private:
  // The stream envelope's header, which every wire message starts with.
  Bytes Head() const;
  // Makes `head` the envelope's header followed by a fragment's.
  static void SetFragmentHeader(Bytes& head, uint32_t id, uint32_t totalLength, uint32_t index, uint32_t count);
  // Whether a message of `size` bytes travels in one envelope rather than in fragments.
  bool GoesWhole(size_t size) const { return size <= threshold_ || size > kMaxReassembledSize; }

  uint32_t streamId_;
  uint16_t width_;
  uint16_t height_;
  uint32_t threshold_;
  uint32_t nextMessageId_ = 1;
};

}  // namespace stv::sim
