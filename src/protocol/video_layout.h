// The video channel's messages byte by byte: what the session picture parses and the
// simulated agent builds. Numbers are big-endian; [a..b] are byte offsets, both included.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stv {

// Byte 0 of every video message.
enum class VideoMessageType : uint8_t {
  FrameStart = 1,
  Tile = 2,
  TileBatch = 3,
  Heartbeat = 4,
  StreamEnvelope = 5,
  Fragment = 6,
};

enum class TileEncoding : uint8_t {
  Raw = 0,            // w * h * 4 bytes of pixels; extra bytes ignored
  PaletteZlib = 1,    // zlib stream of a palette and one index byte per pixel
  RawZlib = 2,        // zlib stream of w * h * 4 bytes of pixels
  CodecImage = 3,     // a compressed image for the tile image codec
  CodecImageAlt = 4,  // handled exactly like CodecImage
};

// StreamEnvelope, around every message of a stream (a fragment included):
//   [0] type  [1..4] stream id  [5..6] width  [7..8] height  [9..] the message
inline constexpr size_t kEnvelopeHeaderSize = 9;

// Fragment, a piece of a message too large to go whole:
//   [0] type  [1..4] message id  [5..8] total length  [9..10] index  [11..12] count  [13..] share
inline constexpr size_t kFragmentHeaderSize = 13;
// Fragment I of a message carries its bytes from I * kFragmentPayloadSize on; a full
// fragment inside a stream envelope makes a 16384-byte video message.
inline constexpr size_t kFragmentPayloadSize = 16362;
// The largest message that may travel in fragments.
inline constexpr size_t kMaxReassembledSize = 8388608;

// FrameStart:
//   [0] type  [1..4] frame tag  [5] keyframe (nonzero)  [6..7] width  [8..9] height  [10..13] unused
inline constexpr size_t kFrameStartSize = 14;

// Tile:
//   [0] type  [1..4] frame tag  [5..6] tile tag  [7..8] x  [9..10] y  [11..12] w  [13..14] h
//   [15] encoding  [16..] payload
inline constexpr size_t kTileHeaderSize = 16;

// TileBatch: [0] type  [1..4] frame tag  [5..6] count  [7..] count entries, each:
//   [0..1] tile tag  [2..3] x  [4..5] y  [6..7] w  [8..9] h  [10] encoding  [11..14] payload length  [15..] payload
inline constexpr size_t kBatchHeaderSize = 7;
inline constexpr size_t kBatchEntryHeaderSize = 15;

// Heartbeat: [0] type  [1..4] sequence
inline constexpr size_t kHeartbeatSize = 5;

}  // namespace stv
