// zlib as compressor and oracle: whatever it produces, at any level, strategy, window and
// flush pattern, inflates to the original bytes; cut short, it fails. (Corrupted streams
// meet the reference decoder in the differential fuzz target, fuzz_inflate_diff.)
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "protocol/deflate_writer.h"
#include "protocol/screen_content.h"
#include "protocol/tile_decompression.h"

namespace stv {
namespace {

using test::Content;

constexpr int kStrategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};

// Random runs with repeats at every distance, so that all length and distance codes occur.
std::vector<uint8_t> RandomBuffer(std::mt19937& rng) {
  const size_t size = rng() % 7 == 0 ? 0 : size_t(1) << (rng() % 16);
  std::vector<uint8_t> data;
  const uint32_t alphabet = 1 + rng() % 256;
  while (data.size() < size) {
    if (!data.empty() && rng() % 2 == 0) {
      const size_t distance = 1 + rng() % std::min<size_t>(data.size(), 40000);
      const size_t length = 1 + rng() % 300;
      for (size_t i = 0; i < length; ++i) data.push_back(data[data.size() - distance]);
    } else {
      for (uint32_t n = rng() % 20; n > 0; --n) data.push_back(uint8_t(rng() % alphabet));
    }
  }
  data.resize(size);
  return data;
}

void ExpectRoundTrip(const std::vector<uint8_t>& data, int level, int strategy, int windowBits = 15, int memLevel = 8) {
  const auto stream = test::ZlibCompress(data, level, strategy, windowBits, memLevel);
  ASSERT_FALSE(stream.empty());
  std::vector<uint8_t> out;
  ASSERT_TRUE(InflateZlib(stream, out, data.size() % 3 == 0 ? data.size() : 0))
      << "level " << level << " strategy " << strategy << " size " << data.size();
  ASSERT_EQ(out, data);
  const size_t cut = (data.size() + size_t(level * 8 + strategy)) * 2654435761u % stream.size();
  ASSERT_FALSE(InflateZlib(std::span(stream).first(cut), out, 0)) << "cut to " << cut;
}

TEST(ZlibOracleTest, ScreenContentAtEveryLevelAndStrategy) {
  std::mt19937 rng(1);
  const std::pair<int, int> sizes[] = {{1, 1}, {7, 3}, {16, 16}, {64, 64}, {128, 96}, {256, 48}};
  for (Content kind : {Content::Text, Content::Ui, Content::Photo, Content::Noise}) {
    for (auto [w, h] : sizes) {
      const auto pixels = test::ScreenPixels(kind, w, h, rng);
      const auto palette = test::PaletteTilePayload(w, h, 1 + int(rng() % 256), rng);
      for (int level = 0; level <= 9; ++level) {
        for (int strategy : kStrategies) {
          ExpectRoundTrip(pixels, level, strategy);
          ExpectRoundTrip(palette, level, strategy);
        }
      }
    }
  }
}

TEST(ZlibOracleTest, RandomBuffersWindowsAndMemoryLevels) {
  std::mt19937 rng(2);
  for (int i = 0; i < 1500; ++i) {
    const auto data = RandomBuffer(rng);
    const int level = int(rng() % 10);
    const int strategy = kStrategies[rng() % 5];
    const int windowBits = 9 + int(rng() % 7);
    ExpectRoundTrip(data, level, strategy, windowBits, 1 + int(rng() % 9));
    // The same data as a raw stream through Inflate.
    const auto raw = test::ZlibCompress(data, level, strategy, -windowBits);
    std::vector<uint8_t> out;
    ASSERT_TRUE(Inflate(raw, out, 0));
    ASSERT_EQ(out, data);
    ASSERT_FALSE(Inflate(std::span(raw).first(rng() % raw.size()), out, 0));
  }
}

// Flushes and parameter changes mix stored, fixed and dynamic blocks, including empty ones.
TEST(ZlibOracleTest, FlushPointsAndParameterChanges) {
  std::mt19937 rng(3);
  for (int round = 0; round < 60; ++round) {
    z_stream stream{};
    ASSERT_EQ(deflateInit(&stream, 6), Z_OK);
    std::vector<uint8_t> data;
    std::vector<uint8_t> compressed(1 << 20);
    stream.next_out = compressed.data();
    stream.avail_out = uInt(compressed.size());
    for (int piece = 0; piece < 8; ++piece) {
      const auto chunk = RandomBuffer(rng);
      data.insert(data.end(), chunk.begin(), chunk.end());
      stream.next_in = const_cast<Bytef*>(chunk.data());
      stream.avail_in = uInt(chunk.size());
      const int flushes[] = {Z_NO_FLUSH, Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_PARTIAL_FLUSH, Z_BLOCK};
      const int result = deflate(&stream, flushes[rng() % 5]);
      ASSERT_TRUE(result == Z_OK || (result == Z_BUF_ERROR && chunk.empty())) << result;
      ASSERT_EQ(stream.avail_in, 0u);
      deflateParams(&stream, int(rng() % 10), kStrategies[rng() % 5]);
    }
    ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    compressed.resize(stream.total_out);
    deflateEnd(&stream);
    std::vector<uint8_t> out;
    ASSERT_TRUE(InflateZlib(compressed, out, 0));
    ASSERT_EQ(out, data);
  }
}

}  // namespace
}  // namespace stv
