#include "protocol/tile_decode_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "protocol/one_by_one_check.h"
#include "protocol/video_messages.h"

namespace stv {
namespace {

// An image codec that paints every pixel with the image's first byte, refuses an image that
// starts with 0, and can be held shut to keep tiles in flight.
class FakeCodec : public TileImageCodec {
 public:
  std::vector<uint8_t> EncodeJpeg(std::span<const uint8_t>, int, int, int) override { return {}; }
  std::optional<std::vector<uint8_t>> EncodeWebp(std::span<const uint8_t>, int, int, int) override { return {}; }
  bool Decode(std::span<const uint8_t> image, int width, int height, TilePixels& out) override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++started_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
    }
    if (image.empty() || image[0] == 0) return false;
    out.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 4, image[0]);
    return true;
  }

  void SetOpen(bool open) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = open;
    changed_.notify_all();
  }
  void WaitStarted(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return started_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
  int started_ = 0;
};

// A stream with every kind of message, where tiles overlap within a batch, from message to
// message, across a new stream and across a resize, and where some are refused.
std::vector<Bytes> EveryKindOfMessage() {
  std::vector<Bytes> stream;
  auto add = [&](Bytes message) { stream.push_back(Envelope(1, 48, 32, message)); };
  add(FrameStart(48, 32, true));
  for (uint8_t seed = 1; seed <= 6; ++seed) {
    add(FrameStart(48, 32));
    add(Tile(seed, 0, 16, 16, 2, Zlib(Pixels(16, 16, seed))));
    add(Tile(8, 8, 16, 16, 3, Bytes{static_cast<uint8_t>(seed * 40)}));
    add(Batch(seed, {{0, 0, 32, 16, 0, Pixels(32, 16, seed)},
                     {4, 4, 8, 8, 1, PalettePayload({0x112233, 0x445566}, Bytes(64, seed & 1))},
                     {40, 24, 8, 8, 3, Bytes{0}},        // refused by the codec
                     {44, 28, 8, 8, 2, Bytes{1, 2, 3}},  // not zlib
                     {47, 0, 2, 1, 0, Bytes(8, 1)},      // outside
                     {30, 10, 16, 16, 4, Bytes{static_cast<uint8_t>(seed)}}}));
    add(Heartbeat());
  }
  const Bytes batch = Batch(9, {{0, 0, 48, 32, 2, Zlib(Pixels(48, 32, 9))}, {2, 2, 4, 4, 3, Bytes{77}}});
  for (const Bytes& piece : Fragments(3, batch)) add(piece);
  add(Fragment(4, 9000, 1, 1, Bytes(3)));  // malformed
  stream.push_back(Envelope(2, 48, 32));   // a new stream at the same size: black again
  stream.push_back(Envelope(2, 48, 32, Tile(0, 0, 4, 4, 3, Bytes{5})));
  stream.push_back(Envelope(2, 48, 32, FrameStart(24, 24)));  // smaller, then tiles of the new size
  stream.push_back(Tile(0, 0, 24, 24, 2, Zlib(Pixels(24, 24, 3))));
  stream.push_back(Tile(20, 20, 8, 8, 0, Pixels(8, 8, 4)));  // outside now
  stream.push_back(Bytes{});
  stream.push_back(Envelope(3, 0, 0, Tile(1, 1, 2, 2, 3, Bytes{6})));  // no size: the picture stays
  return stream;
}

TEST(TileDecodePoolTest, EveryLookMatchesThePictureAppliedOneByOne) {
  FakeCodec codec;
  const std::vector<Bytes> stream = EveryKindOfMessage();
  for (int threads : {0, 1, 4}) ExpectPoolMatchesOneByOne(&codec, stream, threads);
  // A backlog of one tile at a time, and one of a few bytes that every message exceeds.
  ExpectPoolMatchesOneByOne(&codec, stream, 3, {1, size_t{16} << 20});
  ExpectPoolMatchesOneByOne(&codec, stream, 3, {1024, 100});
  ExpectPoolMatchesOneByOne(nullptr, stream, 2);  // image tiles undecodable
}

// The reader goes on while tiles decode, and waits once the backlog is full. Messages without
// tiles (heartbeats here) pass a tile in flight that is over the byte bound, up to the bound on
// messages.
TEST(TileDecodePoolTest, TheReaderGoesOnUntilTheBacklogIsFull) {
  FakeCodec codec;
  SessionPicture picture(&codec);
  std::mutex mutex;
  TileDecodePool pool(picture, mutex, 1, {}, {1024, 100, 4});
  pool.Apply(Envelope(1, 8, 8));
  codec.SetOpen(false);
  std::atomic<int> applied{0};
  std::thread reader([&] {
    pool.Apply(Tile(0, 0, 8, 8, 3, Bytes{1}));
    for (int i = 0; i < 4; ++i) {
      ++applied;
      pool.Apply(Heartbeat());
    }
    ++applied;
    pool.Apply(Tile(0, 0, 8, 8, 3, Bytes{2}));
  });
  codec.WaitStarted(1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (applied.load() < 4 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(applied.load(), 4);  // three heartbeats behind the tile, the fourth waits
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(picture.messages, 1u);
  }
  codec.SetOpen(true);
  reader.join();
  pool.Finish();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(picture.messages, 7u);
  EXPECT_EQ(picture.tilesPainted, 2u);
  EXPECT_EQ(picture.framebuffer[0], 2);  // the last tile is painted last
}

}  // namespace
}  // namespace stv
