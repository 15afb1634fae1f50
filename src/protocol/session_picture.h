// The session picture the video stream builds (its messages are laid out in video_layout.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "codec/tile_image_codec.h"
#include "protocol/changed_area.h"
#include "protocol/video_layout.h"

namespace stv {

// Memory the picture may claim while following a hostile stream. The wire allows a
// 65535 x 65535 picture (16 GiB) and any number of pending 8 MiB messages; neither may
// take the viewer down, and on an overcommitting system an oversized allocation would
// not even fail cleanly, only later when touched. So sizes are bounded up front and a
// message that asks for more is counted as malformed, leaving the picture as it was.
// Both defaults lie far beyond what a real desktop or agent needs: 2^28 pixels (1 GiB)
// hold 16384 x 16384 or several 8K monitors side by side, and 256 MiB of pending
// fragments hold 32 of the largest messages at once where an agent has one in flight.
// An allocation that still fails within these bounds is treated the same way.
struct PictureLimits {
  uint64_t maxFramebufferPixels = uint64_t{1} << 28;
  size_t maxReassemblyBytes = size_t{256} << 20;
};

// A byte buffer that is never cleared. A message's buffer is only read once every fragment
// has filled its share, and clearing would touch all 8 MiB a hostile agent may announce
// with a single 16 KiB fragment; untouched, the announcement costs no memory.
class UnclearedBytes {
 public:
  UnclearedBytes() = default;
  explicit UnclearedBytes(size_t size)
      : data_(std::make_unique_for_overwrite<uint8_t[]>(size)), size_(size), capacity_(size) {}
  UnclearedBytes(UnclearedBytes&& other) noexcept
      : data_(std::move(other.data_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  UnclearedBytes& operator=(UnclearedBytes&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }

  uint8_t* data() { return data_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  // A new size within the capacity; the bytes stay as they are.
  void Resize(size_t size) { size_ = std::min(size, capacity_); }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A message being put together from its fragments.
struct Reassembly {
  uint32_t totalLength = 0;
  uint32_t fragmentCount = 0;
  int32_t received = 0;
  std::vector<bool> have;  // fragmentCount bits: which indexes are stored
  UnclearedBytes buffer;   // totalLength bytes
};

// One parsed tile. The payload views the message it came from.
struct TileRecord {
  uint32_t frameTag = 0;
  uint32_t tileTag = 0;
  int32_t x = 0;
  int32_t y = 0;
  int32_t w = 0;
  int32_t h = 0;
  uint8_t encoding = 0;
  std::span<const uint8_t> payload;
};

// The picture's counters, and what applying one message adds to them.
struct PictureCounts {
  uint64_t messages = 0;
  uint64_t bytes = 0;
  uint64_t frames = 0;
  uint64_t keyframes = 0;
  uint64_t tilesPainted = 0;
  uint64_t heartbeats = 0;
  uint64_t undecodable = 0;  // well-formed tiles that were not painted
  uint64_t malformed = 0;    // messages that failed to parse at their level

  PictureCounts& operator+=(const PictureCounts& more) {
    messages += more.messages;
    bytes += more.bytes;
    frames += more.frames;
    keyframes += more.keyframes;
    tilesPainted += more.tilesPainted;
    heartbeats += more.heartbeats;
    undecodable += more.undecodable;
    malformed += more.malformed;
    return *this;
  }
  friend bool operator==(const PictureCounts&, const PictureCounts&) = default;
};

// The supporter's copy of the client's screen: B, G, R, X pixels, rows from the top, no
// padding, with its counters. Guarded by the mutex of whoever runs the session.
struct SessionPicture : PictureCounts {
  explicit SessionPicture(TileImageCodec* codec = nullptr) : codec(codec) {}

  TileImageCodec* codec;  // not owned; null means image tiles are undecodable
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> framebuffer;  // width * height * 4 bytes
  uint32_t streamId = 0;

  std::vector<uint8_t> tileScratch;           // inflated pixels of the current tile, capacity reused
  TilePixels imageScratch;                    // the same for image tiles, placed for the codec
  std::map<uint32_t, Reassembly> reassembly;  // pending messages by ascending id
  // Buffers of messages already handled, for the next ones: a fresh buffer costs the first
  // write of every page a fault.
  std::vector<UnclearedBytes> spareAssemblies;

  PictureLimits limits;
  size_t reassemblyBytes = 0;            // sum of the pending buffers' sizes
  std::vector<TileRecord> batchScratch;  // the parsed batch being painted, capacity reused

  // What changed since the window last took it (TakeChanged); headless, it is never taken and
  // stays at "everything".
  ChangedArea changed;
};

// A tile that fits the picture, recorded to be decoded apart from the picture and painted later.
struct DeferredTile {
  TileRecord tile;
  bool decoded = false;
  const uint8_t* pixels = nullptr;  // once decoded: w * h * 4 packed bytes, or null if undecodable
  std::vector<uint8_t> inflated;    // where zlib and palette tiles decode to
  TilePixels image;                 // where image tiles decode to
};

// One message whose tiles are decoded apart from the picture: what it adds to the picture,
// kept until it is painted, in arrival order, after every message before it.
struct DeferredMessage {
  std::vector<uint8_t> message;  // the message as received; tiles view it
  UnclearedBytes assembled;      // or the fragments it completed
  PictureCounts counts;
  std::vector<DeferredTile> tiles;
};

struct DeferredApply {
  bool appliedDirectly = false;  // the message is in the picture already; nothing was deferred
  bool painted = false;          // then: a tile was painted
};

// Applies `message` (which views deferred.message) as ApplyVideoMessage does, except that its
// tiles are only recorded in `deferred`, for DecodeDeferredTile on any thread and
// PaintDeferredMessage in arrival order. Needs no lock: it reads the picture's size and writes
// only what no other thread touches (stream identity, reassembly), as long as it is the only
// caller that changes the picture's size. A message that replaces or resizes the framebuffer
// first calls `barrier`, which returns once every earlier message is painted and the
// picture's mutex is held; the message is then applied directly, and the caller unlocks.
DeferredApply ApplyVideoMessageDeferred(SessionPicture& picture, std::span<const uint8_t> message,
                                        DeferredMessage& deferred, const std::function<void()>& barrier);

// Keeps `buffer` for a later reassembly, up to kSpareAssemblies buffers of at most
// kLargestSpareAssembly bytes; the thread that applies messages only. The usual message of a
// busy screen is a row of tiles, a few hundred KiB.
inline constexpr size_t kSpareAssemblies = 8;
inline constexpr size_t kLargestSpareAssembly = size_t{2} << 20;
void KeepSpareAssembly(SessionPicture& picture, UnclearedBytes&& buffer);

// Decodes one deferred tile; any thread, any number at once, with a codec that allows it (null:
// image tiles are undecodable).
void DecodeDeferredTile(TileImageCodec* codec, DeferredTile& tile);

// True for the tiles the image codec decodes.
bool IsImageTile(const TileRecord& tile);

// Paints a deferred message whose tiles are all decoded and adds its counts to the picture.
// With the mutex held, in arrival order. True when a tile was painted.
bool PaintDeferredMessage(SessionPicture& picture, DeferredMessage& deferred);

// Moves what changed since the last call into `into` and starts recording afresh. With the
// picture's mutex held.
void TakeChanged(SessionPicture& picture, ChangedArea& into);

// Copies `rect` of the framebuffer to `to`, where its top-left pixel goes, rows `toStride`
// bytes apart. With the picture's mutex held; `rect` must lie within the picture.
void CopyPictureRect(const SessionPicture& picture, const ChangedRect& rect, uint8_t* to, size_t toStride);

// Applies one video-channel message to the picture. True when at least one tile was
// painted, so the caller should repaint. Never throws; every problem is counted.
bool ApplyVideoMessage(SessionPicture& picture, std::span<const uint8_t> message);

// A Tile message: at least 16 bytes; the payload is everything from byte 16 on.
std::optional<TileRecord> ParseTile(std::span<const uint8_t> message);

// A TileBatch message, all or nothing: `tiles` gets every entry, or the result is false.
// Bytes after the last entry are ignored.
bool ParseTileBatch(std::span<const uint8_t> message, std::vector<TileRecord>& tiles);

}  // namespace stv
