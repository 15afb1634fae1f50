// Builders of video messages, as an agent would send them, for the picture's tests.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "protocol/session_picture.h"

namespace stv {

using Bytes = std::vector<uint8_t>;

struct Writer {
  Bytes bytes;
  Writer& U8(uint32_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Writer& U16(uint32_t v) { return U8(v >> 8).U8(v); }
  Writer& U32(uint32_t v) { return U16(v >> 16).U16(v); }
  Writer& Append(std::span<const uint8_t> data) {
    bytes.insert(bytes.end(), data.begin(), data.end());
    return *this;
  }
};

inline Bytes FrameStart(uint16_t width, uint16_t height, bool keyframe = false) {
  return Writer().U8(1).U32(77).U8(keyframe ? 1 : 0).U16(width).U16(height).U32(0).bytes;
}

inline Bytes Tile(int x, int y, int w, int h, uint8_t encoding, std::span<const uint8_t> payload) {
  return Writer().U8(2).U32(5).U16(9).U16(x).U16(y).U16(w).U16(h).U8(encoding).Append(payload).bytes;
}

inline Bytes Heartbeat() { return Writer().U8(4).U32(0).bytes; }

inline Bytes Envelope(uint32_t streamId, uint16_t width, uint16_t height, std::span<const uint8_t> inner = {}) {
  return Writer().U8(5).U32(streamId).U16(width).U16(height).Append(inner).bytes;
}

struct BatchEntry {
  int x, y, w, h;
  uint8_t encoding;
  Bytes payload;
};

inline Bytes Batch(uint32_t frameTag, const std::vector<BatchEntry>& entries) {
  Writer writer;
  writer.U8(3).U32(frameTag).U16(static_cast<uint32_t>(entries.size()));
  for (const BatchEntry& e : entries) {
    writer.U16(1).U16(e.x).U16(e.y).U16(e.w).U16(e.h).U8(e.encoding);
    writer.U32(static_cast<uint32_t>(e.payload.size())).Append(e.payload);
  }
  return writer.bytes;
}

inline Bytes Fragment(uint32_t id, uint32_t total, uint32_t index, uint32_t count, std::span<const uint8_t> share) {
  return Writer().U8(6).U32(id).U32(total).U16(index).U16(count).Append(share).bytes;
}

// The fragments of `message` in index order.
inline std::vector<Bytes> Fragments(uint32_t id, std::span<const uint8_t> message) {
  const uint32_t total = static_cast<uint32_t>(message.size());
  const uint32_t count = static_cast<uint32_t>((total + kFragmentPayloadSize - 1) / kFragmentPayloadSize);
  std::vector<Bytes> pieces;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t offset = i * kFragmentPayloadSize;
    pieces.push_back(
        Fragment(id, total, i, count, message.subspan(offset, std::min(kFragmentPayloadSize, total - offset))));
  }
  return pieces;
}

// w x h B, G, R, X pixels that differ from pixel to pixel and from seed to seed.
inline Bytes Pixels(int w, int h, uint8_t seed) {
  Bytes pixels(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 + seed * 31 + 1);
  return pixels;
}

inline Bytes Zlib(std::span<const uint8_t> data) {
  uLongf size = compressBound(data.size());
  Bytes out(size);
  compress2(out.data(), &size, data.data(), data.size(), 6);
  out.resize(size);
  return out;
}

// A palette tile payload: little-endian count, the entries, one index byte per pixel.
inline Bytes PalettePayload(std::initializer_list<uint32_t> palette, std::span<const uint8_t> indexes) {
  Writer writer;
  writer.U8(palette.size() & 0xFF).U8(palette.size() >> 8);
  for (uint32_t entry : palette) writer.U32(entry);
  writer.Append(indexes);
  return Zlib(writer.bytes);
}

// messages, bytes, frames, keyframes, tilesPainted, heartbeats, undecodable, malformed
using Counters = std::array<uint64_t, 8>;

inline Counters CountersOf(const SessionPicture& p) {
  return {p.messages, p.bytes, p.frames, p.keyframes, p.tilesPainted, p.heartbeats, p.undecodable, p.malformed};
}

}  // namespace stv
