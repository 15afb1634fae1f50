#include "protocol/session_picture.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/byte_order.h"
#include "protocol/tile_decompression.h"

namespace stv {
namespace {

// One message on its way into the picture. Its counts are added when it is done, so that
// whoever reads the counters sees every message whole or not at all. With `deferred` set, tiles
// are only recorded there for decoding elsewhere; otherwise they are painted straight away.
struct Applying {
  explicit Applying(SessionPicture& picture) : picture(picture) {}

  SessionPicture& picture;
  PictureCounts counts;
  DeferredMessage* deferred = nullptr;
  const std::function<void()>* barrier = nullptr;  // see ApplyVideoMessageDeferred
};

bool CountMalformed(Applying& applying) {
  ++applying.counts.malformed;
  return false;
}

bool CountUndecodable(Applying& applying) {
  ++applying.counts.undecodable;
  return false;
}

// Called before the framebuffer is replaced, cleared or resized: tiles deferred before this
// message must land in the old one first, so the rest of this message is applied straight
// to the picture once the barrier has let every earlier message in.
void BeforeFramebufferChange(Applying& applying) {
  if (applying.deferred == nullptr) return;
  (*applying.barrier)();
  applying.deferred = nullptr;
}

// Makes the framebuffer exactly width x height, every byte 0, even when that is its size
// already. The new buffer is complete before the old one is dropped, so a size beyond the
// limits or an allocation that fails leaves the picture as it was.
bool AllocateFramebuffer(SessionPicture& picture, int32_t width, int32_t height) {
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (pixels > picture.limits.maxFramebufferPixels) return false;
  const size_t size = static_cast<size_t>(pixels) * 4;
  if (picture.framebuffer.size() == size) {
    std::fill(picture.framebuffer.begin(), picture.framebuffer.end(), uint8_t{0});
  } else {
    try {
      std::vector<uint8_t> fresh(size);
      picture.framebuffer.swap(fresh);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  picture.width = width;
  picture.height = height;
  picture.changed.AddEverything();
  return true;
}

// Removes the entries in [first, last) and their share of the memory account.
void EraseEntries(SessionPicture& picture, std::map<uint32_t, Reassembly>::iterator first,
                  std::map<uint32_t, Reassembly>::iterator last) {
  for (auto it = first; it != last; ++it) picture.reassemblyBytes -= it->second.buffer.size();
  picture.reassembly.erase(first, last);
}

void ClearReassembly(SessionPicture& picture) {
  picture.reassembly.clear();
  picture.reassemblyBytes = 0;
}

bool HandleCompleteMessage(Applying& applying, std::span<const uint8_t> message);

// A buffer of `size` bytes: the smallest spare one that is large enough, or a new one.
UnclearedBytes AssemblyBuffer(SessionPicture& picture, size_t size) {
  std::vector<UnclearedBytes>& spares = picture.spareAssemblies;
  auto best = spares.end();
  for (auto it = spares.begin(); it != spares.end(); ++it) {
    if (it->capacity() >= size && (best == spares.end() || it->capacity() < best->capacity())) best = it;
  }
  if (best == spares.end()) return UnclearedBytes(size);
  UnclearedBytes buffer = std::move(*best);
  spares.erase(best);
  buffer.Resize(size);
  return buffer;
}

// Starts `entry` over for a message of `totalLength` bytes in `fragmentCount` pieces. False,
// with the entry untouched, when the buffer would break the memory bound or cannot be had.
bool ResetEntry(SessionPicture& picture, Reassembly& entry, uint32_t totalLength, uint32_t fragmentCount) {
  const size_t othersBytes = picture.reassemblyBytes - entry.buffer.size();
  const size_t limit = picture.limits.maxReassemblyBytes;
  if (othersBytes > limit || totalLength > limit - othersBytes) return false;
  try {
    UnclearedBytes buffer = AssemblyBuffer(picture, totalLength);
    std::vector<bool> have(fragmentCount);
    entry.buffer = std::move(buffer);
    entry.have.swap(have);
  } catch (const std::bad_alloc&) {
    return false;
  }
  picture.reassemblyBytes = othersBytes + totalLength;
  entry.totalLength = totalLength;
  entry.fragmentCount = fragmentCount;
  entry.received = 0;
  return true;
}

bool HandleFragment(Applying& applying, std::span<const uint8_t> message) {
  SessionPicture& picture = applying.picture;
  if (message.size() < kFragmentHeaderSize) return CountMalformed(applying);
  const uint32_t id = ReadU32Be(&message[1]);
  const uint32_t total = ReadU32Be(&message[5]);
  const uint32_t index = ReadU16Be(&message[9]);
  const uint32_t count = ReadU16Be(&message[11]);
  if (total < 1 || total > kMaxReassembledSize || count < 1 || index >= count ||
      count != (total + kFragmentPayloadSize - 1) / kFragmentPayloadSize) {
    return CountMalformed(applying);
  }
  const size_t offset = static_cast<size_t>(index) * kFragmentPayloadSize;
  const size_t share = std::min<size_t>(total - offset, kFragmentPayloadSize);
  if (message.size() != kFragmentHeaderSize + share) return CountMalformed(applying);

  auto [it, created] = picture.reassembly.try_emplace(id);
  Reassembly& entry = it->second;
  if (entry.totalLength != total || entry.fragmentCount != count) {
    if (!ResetEntry(picture, entry, total, count)) {
      if (created) picture.reassembly.erase(it);
      return CountMalformed(applying);
    }
  }
  if (!entry.have[index]) {
    entry.have[index] = true;
    ++entry.received;
    std::memcpy(entry.buffer.data() + offset, message.data() + kFragmentHeaderSize, share);
  }
  if (entry.received < static_cast<int32_t>(entry.fragmentCount)) return false;

  // Complete: older pending messages will never be finished, so they go too.
  UnclearedBytes whole = std::move(entry.buffer);
  picture.reassemblyBytes -= whole.size();
  picture.reassembly.erase(it);
  EraseEntries(picture, picture.reassembly.begin(), picture.reassembly.lower_bound(id));
  const std::span<const uint8_t> assembled(whole.data(), whole.size());
  // Deferred tiles view the message until they are painted, so it travels with them.
  if (applying.deferred != nullptr) {
    applying.deferred->assembled = std::move(whole);
    return HandleCompleteMessage(applying, assembled);
  }
  const bool painted = HandleCompleteMessage(applying, assembled);
  KeepSpareAssembly(picture, std::move(whole));
  return painted;
}

// An envelope's inner message, or a message outside any envelope.
bool ProcessMessage(Applying& applying, std::span<const uint8_t> message) {
  if (!message.empty() && message[0] == static_cast<uint8_t>(VideoMessageType::Fragment)) {
    return HandleFragment(applying, message);
  }
  return HandleCompleteMessage(applying, message);
}

bool HandleEnvelope(Applying& applying, std::span<const uint8_t> message) {
  SessionPicture& picture = applying.picture;
  if (message.size() < kEnvelopeHeaderSize) return CountMalformed(applying);
  const uint32_t streamId = ReadU32Be(&message[1]);
  const int32_t width = ReadU16Be(&message[5]);
  const int32_t height = ReadU16Be(&message[7]);
  if (streamId != picture.streamId || width != picture.width || height != picture.height) {
    // A new stream always starts on a black picture, even at the same size.
    if (width != 0 && height != 0) {
      BeforeFramebufferChange(applying);
      if (!AllocateFramebuffer(picture, width, height)) return CountMalformed(applying);
    }
    picture.streamId = streamId;
    ClearReassembly(picture);
  }
  return ProcessMessage(applying, message.subspan(kEnvelopeHeaderSize));
}

bool HandleFrameStart(Applying& applying, std::span<const uint8_t> message) {
  SessionPicture& picture = applying.picture;
  if (message.size() < kFrameStartSize) return CountMalformed(applying);
  const int32_t width = ReadU16Be(&message[6]);
  const int32_t height = ReadU16Be(&message[8]);
  if (width != 0 && height != 0 && (width != picture.width || height != picture.height)) {
    BeforeFramebufferChange(applying);
    if (!AllocateFramebuffer(picture, width, height)) return CountMalformed(applying);
  }
  ++applying.counts.frames;
  if (message[5] != 0) ++applying.counts.keyframes;
  return false;  // even a resize leaves nothing new to show until a tile arrives
}

bool TileFits(const SessionPicture& picture, const TileRecord& tile) {
  return !picture.framebuffer.empty() && tile.w >= 1 && tile.h >= 1 && tile.x + tile.w <= picture.width &&
         tile.y + tile.h <= picture.height;
}

size_t TileBytes(const TileRecord& tile) { return static_cast<size_t>(tile.w) * static_cast<size_t>(tile.h) * 4; }

// The decoded pixels when decoding succeeded and gave the whole tile, otherwise null.
template <typename Buffer>
const uint8_t* WholeTile(bool decoded, const Buffer& pixels, size_t tileBytes) {
  return decoded && pixels.size() >= tileBytes ? pixels.data() : nullptr;
}

// Decodes the pixels of a tile that is not an image. Raw pixels are used where they lie in the
// message; palette and zlib tiles decode into `scratch`. Null when the tile cannot be decoded.
const uint8_t* DecodeTilePixels(const TileRecord& tile, std::vector<uint8_t>& scratch) {
  const size_t tileBytes = TileBytes(tile);
  switch (static_cast<TileEncoding>(tile.encoding)) {
    case TileEncoding::Raw: return WholeTile(true, tile.payload, tileBytes);
    case TileEncoding::PaletteZlib:
      return WholeTile(DecodePaletteTile(tile.payload, tile.w, tile.h, scratch), scratch, tileBytes);
    case TileEncoding::RawZlib: return WholeTile(InflateZlib(tile.payload, scratch, tileBytes), scratch, tileBytes);
    default: return nullptr;
  }
}

uint8_t* TileTarget(SessionPicture& picture, const TileRecord& tile, size_t stride) {
  return picture.framebuffer.data() + static_cast<size_t>(tile.y) * stride + static_cast<size_t>(tile.x) * 4;
}

// Decodes the tile and paints it into the framebuffer; an image tile goes straight to the codec,
// which writes its place in the framebuffer only once it has decoded.
bool DecodeAndPaint(SessionPicture& picture, const TileRecord& tile) {
  const size_t stride = static_cast<size_t>(picture.width) * 4;
  uint8_t* target = TileTarget(picture, tile, stride);
  if (IsImageTile(tile)) {
    return picture.codec != nullptr &&
           picture.codec->DecodeInto(tile.payload, tile.w, tile.h, target, stride, picture.imageScratch);
  }
  const uint8_t* pixels = DecodeTilePixels(tile, picture.tileScratch);
  if (pixels == nullptr) return false;
  CopyRows(pixels, static_cast<size_t>(tile.w) * 4, tile.h, target, stride);
  return true;
}

void CountPainted(SessionPicture& picture, PictureCounts& counts, const TileRecord& tile) {
  ++counts.tilesPainted;
  picture.changed.Add({tile.x, tile.y, tile.w, tile.h});
}

bool PaintTile(Applying& applying, const TileRecord& tile) {
  SessionPicture& picture = applying.picture;
  if (!TileFits(picture, tile)) return CountUndecodable(applying);
  if (applying.deferred != nullptr) {
    DeferredTile& deferred = applying.deferred->tiles.emplace_back();
    deferred.tile = tile;
    // Raw pixels need no decoding; they are taken from the message when painted.
    if (static_cast<TileEncoding>(tile.encoding) == TileEncoding::Raw) DecodeDeferredTile(nullptr, deferred);
    return false;  // nothing is painted yet
  }
  bool painted = false;
  try {
    painted = DecodeAndPaint(picture, tile);
  } catch (const std::bad_alloc&) {
    // A tile whose pixels do not fit in memory is one more tile that was not painted.
    painted = false;
  }
  if (!painted) return CountUndecodable(applying);
  CountPainted(picture, applying.counts, tile);
  return true;
}

bool HandleTileBatch(Applying& applying, std::span<const uint8_t> message) {
  std::vector<TileRecord>& tiles = applying.picture.batchScratch;
  bool parsed = false;
  try {
    parsed = ParseTileBatch(message, tiles);
  } catch (const std::bad_alloc&) {
    parsed = false;
  }
  bool painted = false;
  if (parsed) {
    for (const TileRecord& tile : tiles) painted = PaintTile(applying, tile) || painted;
  }
  tiles.clear();  // the records view this message; none may outlive it
  return parsed ? painted : CountMalformed(applying);
}

bool HandleCompleteMessage(Applying& applying, std::span<const uint8_t> message) {
  if (message.empty()) return CountMalformed(applying);
  switch (static_cast<VideoMessageType>(message[0])) {
    case VideoMessageType::FrameStart: return HandleFrameStart(applying, message);
    case VideoMessageType::Tile: {
      const std::optional<TileRecord> tile = ParseTile(message);
      return tile ? PaintTile(applying, *tile) : CountMalformed(applying);
    }
    case VideoMessageType::TileBatch: return HandleTileBatch(applying, message);
    case VideoMessageType::Heartbeat:
      if (message.size() < kHeartbeatSize) return CountMalformed(applying);
      ++applying.counts.heartbeats;
      return false;
    default:  // envelopes and fragments do not nest, and other types do not exist
      return CountMalformed(applying);
  }
}

// The message's effects, to the picture or to `applying.deferred`; true when a tile was painted.
bool Apply(Applying& applying, std::span<const uint8_t> message) {
  ++applying.counts.messages;
  applying.counts.bytes += message.size();
  if (message.empty()) return CountMalformed(applying);
  // The large allocations are guarded where they happen; this catches the small ones
  // (a table entry) that could only fail when the process is out of memory anyway.
  try {
    if (message[0] == static_cast<uint8_t>(VideoMessageType::StreamEnvelope)) {
      return HandleEnvelope(applying, message);
    }
    return ProcessMessage(applying, message);
  } catch (const std::bad_alloc&) {
    return CountMalformed(applying);
  }
}

}  // namespace

bool IsImageTile(const TileRecord& tile) {
  const auto encoding = static_cast<TileEncoding>(tile.encoding);
  return encoding == TileEncoding::CodecImage || encoding == TileEncoding::CodecImageAlt;
}

void TakeChanged(SessionPicture& picture, ChangedArea& into) {
  into = picture.changed;
  picture.changed.Clear();
}

void CopyPictureRect(const SessionPicture& picture, const ChangedRect& rect, uint8_t* to, size_t toStride) {
  const size_t stride = static_cast<size_t>(picture.width) * 4;
  const uint8_t* from = picture.framebuffer.data() + static_cast<size_t>(rect.y) * stride + rect.x * size_t{4};
  for (int32_t row = 0; row < rect.h; ++row, from += stride, to += toStride) {
    std::memcpy(to, from, static_cast<size_t>(rect.w) * 4);
  }
}

std::optional<TileRecord> ParseTile(std::span<const uint8_t> message) {
  if (message.size() < kTileHeaderSize || message[0] != static_cast<uint8_t>(VideoMessageType::Tile)) {
    return std::nullopt;
  }
  TileRecord tile;
  tile.frameTag = ReadU32Be(&message[1]);
  tile.tileTag = ReadU16Be(&message[5]);
  tile.x = ReadU16Be(&message[7]);
  tile.y = ReadU16Be(&message[9]);
  tile.w = ReadU16Be(&message[11]);
  tile.h = ReadU16Be(&message[13]);
  tile.encoding = message[15];
  tile.payload = message.subspan(kTileHeaderSize);
  return tile;
}

bool ParseTileBatch(std::span<const uint8_t> message, std::vector<TileRecord>& tiles) {
  tiles.clear();
  if (message.size() < kBatchHeaderSize || message[0] != static_cast<uint8_t>(VideoMessageType::TileBatch)) {
    return false;
  }
  const uint32_t frameTag = ReadU32Be(&message[1]);
  const uint32_t count = ReadU16Be(&message[5]);
  size_t offset = kBatchHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t left = message.size() - offset;
    const uint8_t* entry = message.data() + offset;
    if (left < kBatchEntryHeaderSize || left - kBatchEntryHeaderSize < ReadU32Be(entry + 11)) {
      tiles.clear();
      return false;
    }
    const uint32_t payloadLength = ReadU32Be(entry + 11);
    offset += kBatchEntryHeaderSize;
    TileRecord& tile = tiles.emplace_back();
    tile.frameTag = frameTag;
    tile.tileTag = ReadU16Be(entry);
    tile.x = ReadU16Be(entry + 2);
    tile.y = ReadU16Be(entry + 4);
    tile.w = ReadU16Be(entry + 6);
    tile.h = ReadU16Be(entry + 8);
    tile.encoding = entry[10];
    tile.payload = message.subspan(offset, payloadLength);
    offset += payloadLength;
  }
  return true;
}

bool ApplyVideoMessage(SessionPicture& picture, std::span<const uint8_t> message) {
  Applying applying{picture};
  const bool painted = Apply(applying, message);
  picture += applying.counts;
  return painted;
}

DeferredApply ApplyVideoMessageDeferred(SessionPicture& picture, std::span<const uint8_t> message,
                                        DeferredMessage& deferred, const std::function<void()>& barrier) {
  Applying applying{picture};
  applying.deferred = &deferred;
  applying.barrier = &barrier;
  const bool painted = Apply(applying, message);
  if (applying.deferred != nullptr) {
    deferred.counts = applying.counts;
    return {};
  }
  picture += applying.counts;  // under the lock the barrier took
  return {true, painted};
}

void KeepSpareAssembly(SessionPicture& picture, UnclearedBytes&& buffer) {
  if (picture.spareAssemblies.size() < kSpareAssemblies && buffer.capacity() != 0 &&
      buffer.capacity() <= kLargestSpareAssembly) {
    picture.spareAssemblies.push_back(std::move(buffer));
  }
}

void DecodeDeferredTile(TileImageCodec* codec, DeferredTile& deferred) {
  const TileRecord& tile = deferred.tile;
  deferred.pixels = nullptr;
  try {
    if (IsImageTile(tile)) {
      if (codec != nullptr && codec->Decode(tile.payload, tile.w, tile.h, deferred.image)) {
        deferred.pixels = WholeTile(true, deferred.image, TileBytes(tile));
      }
    } else {
      deferred.pixels = DecodeTilePixels(tile, deferred.inflated);
    }
  } catch (const std::bad_alloc&) {
    deferred.pixels = nullptr;
  }
  deferred.decoded = true;
}

bool PaintDeferredMessage(SessionPicture& picture, DeferredMessage& deferred) {
  PictureCounts& counts = deferred.counts;
  const size_t stride = static_cast<size_t>(picture.width) * 4;
  bool painted = false;
  for (const DeferredTile& tile : deferred.tiles) {
    if (tile.pixels == nullptr) {
      ++counts.undecodable;
      continue;
    }
    CopyRows(tile.pixels, static_cast<size_t>(tile.tile.w) * 4, tile.tile.h, TileTarget(picture, tile.tile, stride),
             stride);
    CountPainted(picture, counts, tile.tile);
    painted = true;
  }
  picture += counts;
  return painted;
}

}  // namespace stv
