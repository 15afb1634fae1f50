#include "protocol/session_picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "protocol/video_messages.h"

namespace stv {
namespace {

class PictureTest : public ::testing::Test {
 protected:
  bool Apply(const Bytes& message) { return ApplyVideoMessage(picture, message); }

  // Paints a recognisable raw tile so that a later blackout is visible.
  void PaintMarker() { ASSERT_TRUE(Apply(Tile(0, 0, 1, 1, 0, Bytes{9, 9, 9, 9}))); }
  bool FramebufferIsBlack() const {
    return std::all_of(picture.framebuffer.begin(), picture.framebuffer.end(), [](uint8_t b) { return b == 0; });
  }
  const uint8_t* PixelAt(int x, int y) const {
    return picture.framebuffer.data() + (static_cast<size_t>(y) * picture.width + x) * 4;
  }

  SessionPicture picture;
};

TEST_F(PictureTest, CountsEveryMessageAndRejectsShortOrUnknownOnes) {
  EXPECT_FALSE(Apply({}));
  EXPECT_FALSE(Apply({0}));
  EXPECT_FALSE(Apply({7, 1, 2, 3, 4, 5}));
  EXPECT_FALSE(Apply({4, 0, 0, 0}));  // heartbeat one byte short
  EXPECT_FALSE(Apply(Heartbeat()));
  Bytes frameStart = FrameStart(0, 0, true);
  frameStart.pop_back();
  EXPECT_FALSE(Apply(frameStart));               // 13 bytes
  EXPECT_FALSE(Apply(Bytes(15, 2)));             // a tile needs 16 bytes
  EXPECT_FALSE(Apply(Tile(0, 0, 1, 1, 0, {})));  // and has them: no pixels, so undecodable
  EXPECT_FALSE(Apply(Bytes(6, 3)));              // a batch 7
  EXPECT_FALSE(Apply(Bytes(8, 5)));              // an envelope 9
  EXPECT_EQ(CountersOf(picture), (Counters{10, 1 + 6 + 4 + 5 + 13 + 15 + 16 + 6 + 8, 0, 0, 0, 1, 1, 8}));
}

TEST_F(PictureTest, FrameStartCountsAndResizesButNeverAsksForARepaint) {
  EXPECT_FALSE(Apply(FrameStart(0, 0, true)));
  EXPECT_TRUE(picture.framebuffer.empty());

  EXPECT_FALSE(Apply(FrameStart(4, 3)));
  EXPECT_EQ(picture.width, 4);
  EXPECT_EQ(picture.height, 3);
  EXPECT_EQ(picture.framebuffer.size(), 4u * 3 * 4);
  PaintMarker();

  // The same size keeps the picture; a keyframe is only a counter.
  EXPECT_FALSE(Apply(FrameStart(4, 3, true)));
  EXPECT_FALSE(Apply(FrameStart(0, 3)));
  EXPECT_FALSE(FramebufferIsBlack());
  EXPECT_EQ(picture.width, 4);

  EXPECT_FALSE(Apply(FrameStart(5, 3)));
  EXPECT_TRUE(FramebufferIsBlack());
  EXPECT_EQ(picture.framebuffer.size(), 5u * 3 * 4);
  EXPECT_TRUE(Apply(Tile(4, 2, 1, 1, 0, Bytes{1, 2, 3, 4})));
  EXPECT_EQ(CountersOf(picture), (Counters{7, 5 * 14 + 2 * 20, 5, 2, 2, 0, 0, 0}));
}

TEST_F(PictureTest, EnvelopeStartsANewStreamOnlyWhenIdOrSizeChanges) {
  picture.reassembly[3].totalLength = 1;
  EXPECT_FALSE(Apply(Envelope(1, 1920, 1080)));  // exactly 9 bytes: empty inner message
  EXPECT_EQ(picture.streamId, 1u);
  EXPECT_EQ(picture.width, 1920);
  EXPECT_EQ(picture.framebuffer.size(), 1920u * 1080 * 4);
  EXPECT_TRUE(picture.reassembly.empty());
  EXPECT_EQ(picture.malformed, 1u);

  PaintMarker();
  picture.reassembly[3].totalLength = 1;
  EXPECT_FALSE(Apply(Envelope(1, 1920, 1080, Heartbeat())));  // same stream: nothing changes
  EXPECT_FALSE(FramebufferIsBlack());
  EXPECT_EQ(picture.reassembly.size(), 1u);
  EXPECT_EQ(picture.heartbeats, 1u);

  EXPECT_FALSE(Apply(Envelope(2, 1920, 1080, Heartbeat())));  // new id, same size: black
  EXPECT_TRUE(FramebufferIsBlack());
  EXPECT_TRUE(picture.reassembly.empty());

  PaintMarker();
  picture.reassembly[3].totalLength = 1;
  EXPECT_FALSE(Apply(Envelope(3, 0, 1080, Heartbeat())));  // no size: picture kept
  EXPECT_EQ(picture.streamId, 3u);
  EXPECT_EQ(picture.width, 1920);
  EXPECT_FALSE(FramebufferIsBlack());
  EXPECT_TRUE(picture.reassembly.empty());

  // The inner message decides the result; envelopes do not nest.
  EXPECT_TRUE(Apply(Envelope(3, 0, 1080, Tile(1, 1, 1, 1, 0, Bytes{1, 1, 1, 1}))));
  EXPECT_FALSE(Apply(Envelope(3, 0, 1080, Envelope(3, 0, 1080, Heartbeat()))));
  EXPECT_FALSE(Apply(Bytes{5, 0, 0, 0, 3, 0, 0, 4}));  // 8 bytes
  EXPECT_EQ(picture.streamId, 3u);
  EXPECT_EQ(picture.malformed, 3u);

  EXPECT_FALSE(Apply(Envelope(4, 1, 1, Heartbeat())));  // the smallest picture
  EXPECT_EQ(picture.framebuffer.size(), 4u);
}

TEST_F(PictureTest, TilesPaintOnlyInsideTheFramebuffer) {
  EXPECT_FALSE(Apply(Tile(0, 0, 1, 1, 0, Bytes(4, 1))));  // no size yet
  Apply(FrameStart(6, 5));
  EXPECT_TRUE(Apply(Tile(4, 0, 2, 1, 0, Bytes(8, 1))));   // x + w == width
  EXPECT_FALSE(Apply(Tile(5, 0, 2, 1, 0, Bytes(8, 1))));  // x + w == width + 1
  EXPECT_TRUE(Apply(Tile(0, 3, 1, 2, 0, Bytes(8, 1))));   // y + h == height
  EXPECT_FALSE(Apply(Tile(0, 4, 1, 2, 0, Bytes(8, 1))));
  EXPECT_FALSE(Apply(Tile(0, 0, 0, 1, 0, Bytes(8, 1))));
  EXPECT_FALSE(Apply(Tile(0, 0, 1, 0, 0, Bytes(8, 1))));
  EXPECT_FALSE(Apply(Tile(65535, 0, 2, 1, 0, Bytes(8, 1))));
  EXPECT_EQ(picture.tilesPainted, 2u);
  EXPECT_EQ(picture.undecodable, 6u);
  EXPECT_EQ(picture.malformed, 0u);
}

TEST_F(PictureTest, RawTilesNeedAllTheirPixelsAndLandRowByRow) {
  Apply(FrameStart(5, 4));
  const Bytes pixels = Pixels(3, 2, 1);
  Bytes shortPayload(pixels.begin(), pixels.end() - 1);
  EXPECT_FALSE(Apply(Tile(1, 1, 3, 2, 0, shortPayload)));
  EXPECT_TRUE(FramebufferIsBlack());

  Bytes longPayload = pixels;
  longPayload.insert(longPayload.end(), {0xEE, 0xEE, 0xEE, 0xEE});
  EXPECT_TRUE(Apply(Tile(1, 1, 3, 2, 0, longPayload)));
  const uint8_t black[4] = {0, 0, 0, 0};
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) {
      const bool inside = x >= 1 && x < 4 && y >= 1 && y < 3;
      const uint8_t* expected = inside ? &pixels[((y - 1) * 3 + (x - 1)) * 4] : black;
      EXPECT_EQ(std::memcmp(PixelAt(x, y), expected, 4), 0) << x << "," << y;
    }
  }

  // A full-width tile covers whole rows.
  const Bytes rows = Pixels(5, 2, 2);
  EXPECT_TRUE(Apply(Tile(0, 2, 5, 2, 0, rows)));
  EXPECT_EQ(std::memcmp(PixelAt(0, 2), rows.data(), rows.size()), 0);
  EXPECT_EQ(std::memcmp(PixelAt(1, 1), &pixels[0], 4), 0);  // the row above is untouched
}

TEST_F(PictureTest, CompressedTilesDecodeOrAreUndecodable) {
  Apply(FrameStart(4, 4));
  const Bytes pixels = Pixels(2, 2, 3);
  EXPECT_TRUE(Apply(Tile(0, 0, 2, 2, 2, Zlib(pixels))));
  EXPECT_EQ(std::memcmp(PixelAt(1, 1), &pixels[12], 4), 0);

  const Bytes fewer(pixels.begin(), pixels.end() - 4);
  EXPECT_FALSE(Apply(Tile(2, 2, 2, 2, 2, Zlib(fewer))));
  Bytes corrupt = Zlib(Pixels(2, 2, 4));
  corrupt.back() ^= 1;  // checksum
  EXPECT_FALSE(Apply(Tile(2, 2, 2, 2, 2, corrupt)));
  EXPECT_EQ(PixelAt(2, 2)[0], 0);

  const uint8_t indexes[4] = {0, 1, 1, 0};
  EXPECT_TRUE(Apply(Tile(2, 0, 2, 2, 1, PalettePayload({0x01020304, 0xA0B0C0D0}, indexes))));
  const uint8_t second[4] = {0xA0, 0xB0, 0xC0, 0xD0};
  EXPECT_EQ(std::memcmp(PixelAt(3, 0), second, 4), 0);
  EXPECT_EQ(PixelAt(3, 1)[0], 0x01);
  const uint8_t outOfRange[4] = {0, 2, 0, 0};
  EXPECT_FALSE(Apply(Tile(0, 2, 2, 2, 1, PalettePayload({1, 2}, outOfRange))));

  EXPECT_FALSE(Apply(Tile(0, 0, 1, 1, 5, Bytes(4, 1))));  // unknown encoding
  EXPECT_FALSE(Apply(Tile(0, 0, 1, 1, 3, Bytes(4, 1))));  // image tile without a codec
  EXPECT_EQ(picture.tilesPainted, 2u);
  EXPECT_EQ(picture.undecodable, 5u);
  EXPECT_EQ(picture.malformed, 0u);
}

TEST_F(PictureTest, BatchesParseWhollyBeforeAnyTileIsPainted) {
  Apply(FrameStart(4, 4));
  Bytes empty = Batch(1, {});
  empty.insert(empty.end(), {9, 9, 9});
  EXPECT_FALSE(Apply(empty));
  EXPECT_EQ(picture.malformed, 0u);

  Bytes cut = Batch(1, {{0, 0, 1, 1, 0, Bytes(4, 7)}, {1, 0, 1, 1, 0, Bytes(4, 7)}});
  cut.pop_back();  // the second payload runs past the end
  EXPECT_FALSE(Apply(cut));
  Bytes headerCut = Batch(1, {{0, 0, 1, 1, 0, Bytes(4, 7)}, {1, 0, 1, 1, 0, {}}});
  headerCut.resize(headerCut.size() - 2);
  EXPECT_FALSE(Apply(headerCut));
  EXPECT_EQ(picture.malformed, 2u);
  EXPECT_TRUE(FramebufferIsBlack());

  Bytes three = Batch(1, {{0, 0, 1, 1, 0, Bytes(4, 7)},
                          {4, 0, 1, 1, 0, Bytes(4, 8)},  // outside
                          {3, 3, 1, 1, 0, Bytes(4, 9)}});
  three.push_back(0xFF);  // trailing bytes are ignored
  EXPECT_TRUE(Apply(three));
  EXPECT_EQ(PixelAt(0, 0)[0], 7);
  EXPECT_EQ(PixelAt(3, 3)[0], 9);
  EXPECT_EQ(picture.tilesPainted, 2u);
  EXPECT_EQ(picture.undecodable, 1u);
  EXPECT_FALSE(Apply(Batch(1, {{4, 0, 1, 1, 0, Bytes(4, 8)}})));
}

class FragmentTest : public PictureTest {
 protected:
  void SetUp() override { Apply(FrameStart(64, 64)); }
  // A full-size raw tile: 16 + 16384 bytes, two fragments.
  Bytes BigTile(uint8_t seed) { return Tile(0, 0, 64, 64, 0, Pixels(64, 64, seed)); }
};

TEST_F(FragmentTest, ValidatesEveryField) {
  const Bytes share(kFragmentPayloadSize, 2);
  EXPECT_FALSE(Apply(Fragment(1, 16363, 0, 3, share)));        // C must be ceil(T / 16362)
  EXPECT_FALSE(Apply(Fragment(1, 16363, 2, 2, Bytes(1, 2))));  // I < C
  Bytes tooLong = share;
  tooLong.push_back(0);
  EXPECT_FALSE(Apply(Fragment(1, 16363, 0, 2, tooLong)));
  EXPECT_FALSE(Apply(Fragment(1, 16363, 1, 2, {})));  // one byte short
  EXPECT_FALSE(Apply(Fragment(1, 0, 0, 1, {})));
  EXPECT_FALSE(Apply(Fragment(1, 8388609, 0, 513, share)));
  EXPECT_FALSE(Apply(Bytes{6, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));  // 12 bytes
  EXPECT_EQ(picture.malformed, 7u);
  EXPECT_TRUE(picture.reassembly.empty());

  EXPECT_FALSE(Apply(Fragment(1, 8388608, 512, 513, Bytes(8388608 - 512 * kFragmentPayloadSize, 2))));
  EXPECT_EQ(picture.malformed, 7u);
  ASSERT_EQ(picture.reassembly.count(1), 1u);
  EXPECT_EQ(picture.reassembly[1].buffer.size(), 8388608u);
  EXPECT_EQ(picture.reassembly[1].received, 1);
}

TEST_F(FragmentTest, AssemblesInAnyOrderAndStoresDuplicatesOnce) {
  const Bytes tile = BigTile(1);
  std::vector<Bytes> pieces = Fragments(40, tile);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_FALSE(Apply(pieces[1]));
  Bytes forged = pieces[1];
  forged.back() ^= 0xFF;
  EXPECT_FALSE(Apply(forged));  // a repeated index is ignored, whatever it carries
  EXPECT_EQ(picture.reassembly[40].received, 1);
  EXPECT_TRUE(Apply(pieces[0]));
  EXPECT_EQ(std::memcmp(picture.framebuffer.data(), tile.data() + 16, 64 * 64 * 4), 0);
  EXPECT_TRUE(picture.reassembly.empty());
  EXPECT_EQ(picture.reassemblyBytes, 0u);

  // A message of 16363 bytes travels as 16362 + 1.
  Bytes heartbeat = Heartbeat();
  heartbeat.resize(16363);
  pieces = Fragments(41, heartbeat);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[1].size(), 14u);
  EXPECT_FALSE(Apply(pieces[0]));
  EXPECT_FALSE(Apply(pieces[1]));
  EXPECT_EQ(picture.heartbeats, 1u);
}

TEST_F(FragmentTest, CompletionDiscardsSmallerIdsAsUnsignedNumbers) {
  for (uint32_t id : {3u, 9u, 11u, 0x80000001u}) Apply(Fragments(id, BigTile(2))[0]);
  EXPECT_FALSE(Apply(Fragments(10, BigTile(3))[0]));
  EXPECT_TRUE(Apply(Fragments(10, BigTile(3))[1]));
  EXPECT_EQ(picture.reassembly.count(3) + picture.reassembly.count(9), 0u);
  EXPECT_EQ(picture.reassembly.count(11), 1u);

  EXPECT_TRUE(Apply(Fragments(0x80000000u, Tile(0, 0, 1, 1, 0, Bytes(4, 1)))[0]));
  ASSERT_EQ(picture.reassembly.size(), 1u);  // 11 went, 0x80000001 stays
  EXPECT_EQ(picture.reassembly.begin()->first, 0x80000001u);
  EXPECT_EQ(picture.reassemblyBytes, BigTile(2).size());
}

TEST_F(FragmentTest, ChangedLengthRestartsThePendingMessage) {
  const Bytes first = BigTile(4);
  Bytes second = BigTile(5);
  second.resize(second.size() + 100);  // extra raw bytes are ignored; only T changes
  Apply(Fragments(7, first)[0]);
  EXPECT_FALSE(Apply(Fragments(7, second)[1]));
  EXPECT_EQ(picture.reassembly[7].received, 1);
  EXPECT_EQ(picture.reassembly[7].totalLength, second.size());
  EXPECT_FALSE(Apply(Fragments(7, first)[1]));  // restarts again, back to the first length
  EXPECT_FALSE(Apply(Fragments(7, second)[1]));
  EXPECT_TRUE(Apply(Fragments(7, second)[0]));
  EXPECT_EQ(std::memcmp(picture.framebuffer.data(), second.data() + 16, 64 * 64 * 4), 0);
}

TEST_F(FragmentTest, AssembledEnvelopesAndFragmentsAreMalformed) {
  Apply(Fragments(1, BigTile(6))[0]);
  Bytes nested = Envelope(9, 64, 64, Heartbeat());
  EXPECT_FALSE(Apply(Fragments(2, nested)[0]));
  Bytes fragment = Fragment(3, 1, 0, 1, Bytes{4});
  EXPECT_FALSE(Apply(Fragments(4, fragment)[0]));
  EXPECT_EQ(picture.malformed, 2u);
  EXPECT_EQ(picture.streamId, 0u);
  EXPECT_TRUE(picture.reassembly.empty());  // entry 1 went with the completion of 2

  // Inside an envelope, fragments are the normal way; a new stream drops pending ones.
  Apply(Envelope(0, 64, 64, Fragments(5, BigTile(7))[0]));
  EXPECT_EQ(picture.reassembly.size(), 1u);
  Apply(Envelope(1, 64, 64, Heartbeat()));
  EXPECT_TRUE(picture.reassembly.empty());
  EXPECT_EQ(picture.reassemblyBytes, 0u);
}

TEST_F(PictureTest, OversizedPicturesAreRefusedAndTheOldOneKept) {
  Apply(FrameStart(8, 8));
  PaintMarker();
  EXPECT_FALSE(Apply(FrameStart(65535, 65535)));  // 16 GiB
  picture.reassembly[1].totalLength = 1;
  EXPECT_FALSE(Apply(Envelope(4, 65535, 65535, Heartbeat())));
  EXPECT_EQ(CountersOf(picture), (Counters{4, 14 + 20 + 14 + 14, 1, 0, 1, 0, 0, 2}));
  EXPECT_EQ(picture.width, 8);
  EXPECT_EQ(picture.streamId, 0u);
  EXPECT_EQ(picture.reassembly.size(), 1u);
  EXPECT_FALSE(FramebufferIsBlack());

  picture.limits.maxFramebufferPixels = 100;
  EXPECT_FALSE(Apply(FrameStart(10, 11)));
  EXPECT_EQ(picture.width, 8);
  EXPECT_FALSE(Apply(FrameStart(10, 10)));
  EXPECT_EQ(picture.width, 10);
  EXPECT_EQ(picture.malformed, 3u);
}

TEST_F(FragmentTest, PendingMemoryIsBounded) {
  const Bytes tile = BigTile(8);
  picture.limits.maxReassemblyBytes = 2 * tile.size();
  EXPECT_FALSE(Apply(Fragments(1, tile)[0]));
  EXPECT_FALSE(Apply(Fragments(2, tile)[0]));
  EXPECT_FALSE(Apply(Fragments(3, tile)[0]));  // would exceed the bound
  EXPECT_EQ(picture.malformed, 1u);
  EXPECT_EQ(picture.reassembly.count(3), 0u);

  // Growing a pending message counts only the difference.
  Bytes longer = tile;
  longer.resize(tile.size() + 10);
  EXPECT_FALSE(Apply(Fragments(2, longer)[0]));
  EXPECT_EQ(picture.malformed, 2u);
  EXPECT_EQ(picture.reassembly[2].totalLength, tile.size());
  Bytes shorter = Tile(0, 0, 64, 63, 0, Pixels(64, 63, 9));  // padded: raw ignores the rest
  shorter.resize(tile.size() - 10);
  EXPECT_FALSE(Apply(Fragments(2, shorter)[0]));
  EXPECT_EQ(picture.reassemblyBytes, 2 * tile.size() - 10);

  EXPECT_TRUE(Apply(Fragments(2, shorter)[1]));  // completes 2 and drops 1
  EXPECT_EQ(picture.reassemblyBytes, 0u);
  EXPECT_FALSE(Apply(Fragments(3, tile)[0]));
  EXPECT_EQ(picture.malformed, 2u);
  // By default the bound is 256 MiB of announced messages: 32 of the largest, and not a byte more.
  SessionPicture fresh;
  const uint32_t pieces = (kMaxReassembledSize + kFragmentPayloadSize - 1) / kFragmentPayloadSize;
  const Bytes share(kFragmentPayloadSize, 0);
  for (uint32_t id = 1; id <= 32; ++id) ApplyVideoMessage(fresh, Fragment(id, kMaxReassembledSize, 0, pieces, share));
  EXPECT_EQ(fresh.malformed, 0u);
  ApplyVideoMessage(fresh, Fragment(33, kFragmentPayloadSize + 1, 0, 2, share));
  EXPECT_EQ(fresh.malformed, 1u);
}

// What the window is told to copy: painted tiles, merged where they continue each other;
// everything on a new size, a new stream, or a list grown too long; nothing twice.
TEST(ChangedAreaTest, RecordsWhatPaintingChanged) {
  SessionPicture picture;
  ChangedArea taken;
  auto take = [&]() -> const ChangedArea& {
    TakeChanged(picture, taken);
    return taken;
  };
  auto rects = [&] {
    const std::span<const ChangedRect> list = take().Rects();
    return std::vector<ChangedRect>(list.begin(), list.end());
  };
  EXPECT_TRUE(take().Empty());
  ApplyVideoMessage(picture, FrameStart(64, 48));
  EXPECT_TRUE(take().Everything());
  EXPECT_TRUE(take().Empty());

  const Bytes tile = Pixels(8, 8, 1);
  ApplyVideoMessage(picture, Tile(16, 8, 8, 8, 0, tile));
  ApplyVideoMessage(picture, Tile(16, 16, 8, 8, 0, tile));  // below it
  ApplyVideoMessage(picture, Tile(60, 0, 8, 8, 0, tile));   // past the edge: undecodable, not changed
  ApplyVideoMessage(picture, Tile(16, 0, 8, 8, 0, tile));   // above: a rectangle of its own
  EXPECT_EQ(rects(), (std::vector<ChangedRect>{{16, 8, 8, 16}, {16, 0, 8, 8}}));

  // A batch across two rows, then a row below, then a tile elsewhere, then one fragmented.
  std::vector<BatchEntry> row;
  for (int x = 0; x < 64; x += 8) row.push_back({x, 0, 8, 8, 0, tile});
  ApplyVideoMessage(picture, Batch(1, row));
  for (BatchEntry& entry : row) entry.y = 8;
  ApplyVideoMessage(picture, Batch(2, row));
  ApplyVideoMessage(picture, Tile(0, 40, 8, 8, 0, tile));
  const Bytes big = Tile(8, 24, 32, 16, 0, Pixels(32, 16, 2));
  for (const Bytes& piece : Fragments(3, Bytes(big.begin(), big.end()))) ApplyVideoMessage(picture, piece);
  EXPECT_EQ(rects(), (std::vector<ChangedRect>{{0, 0, 64, 16}, {0, 40, 8, 8}, {8, 24, 32, 16}}));

  // Painted again, frame after frame: what a rectangle holds adds nothing, and a rectangle
  // that grows over others takes their place.
  for (int frame = 0; frame < 3; ++frame) {
    for (int y : {0, 8}) {
      for (BatchEntry& entry : row) entry.y = y;
      ApplyVideoMessage(picture, Batch(static_cast<uint32_t>(y), row));
    }
    ApplyVideoMessage(picture, Tile(16, 24, 8, 8, 0, tile));
  }
  EXPECT_EQ(rects(), (std::vector<ChangedRect>{{0, 0, 64, 16}, {16, 24, 8, 8}}));
  ApplyVideoMessage(picture, Tile(16, 24, 8, 8, 0, tile));
  ApplyVideoMessage(picture, Tile(0, 0, 64, 16, 0, Pixels(64, 16, 3)));
  ApplyVideoMessage(picture, Tile(0, 16, 64, 16, 0, Pixels(64, 16, 4)));
  EXPECT_EQ(rects(), (std::vector<ChangedRect>{{0, 0, 64, 32}}));

  const Bytes small = Pixels(4, 4, 1);
  for (int i = 0; i < static_cast<int>(ChangedArea::kMaxRects) + 1; ++i) {
    ApplyVideoMessage(picture, Tile(i % 8 * 8, i / 8 * 8, 4, 4, 0, small));  // none touches another
  }
  EXPECT_TRUE(take().Everything());
  ApplyVideoMessage(picture, Envelope(9, 64, 48, Heartbeat()));  // a new stream, same size
  EXPECT_TRUE(take().Everything());
  ApplyVideoMessage(picture, FrameStart(64, 48));  // the same size again: nothing to show
  EXPECT_TRUE(take().Empty());
}

}  // namespace
}  // namespace stv
