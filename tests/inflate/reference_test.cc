// The table-driven decoder against the bit-at-a-time reference: the same verdict on every
// input, and the same bytes when both succeed. The streams aim at where the two differ
// most in mechanics: incomplete and over-subscribed codes, unused code space, symbols that
// may not be decoded, input ending anywhere, and small output limits.
#include <gtest/gtest.h>

#include <random>

#include "inflate/deflate_writer.h"
#include "inflate/reference_inflate.h"
#include "inflate/screen_content.h"
#include "protocol/tile_decompression.h"

namespace stv {
namespace {

using test::BitWriter;

// Lengths 0..15 with many zeros: usually incomplete, sometimes over-subscribed, sometimes
// complete (a flat code of 2^k symbols).
std::vector<uint8_t> RandomLengths(size_t count, size_t mustHave, std::mt19937& rng) {
  std::vector<uint8_t> lengths(count, 0);
  const int style = int(rng() % 4);
  if (style == 0) {
    const int bits = 1 + int(rng() % 8);
    for (int i = 0; i < (1 << bits) && size_t(i) < count; ++i) {
      lengths[rng() % count] = uint8_t(bits);
    }
  } else {
    const uint32_t maxLength = style == 1 ? 15 : 4 + rng() % 8;
    for (uint8_t& length : lengths) {
      if (rng() % 3 == 0) length = uint8_t(1 + rng() % maxLength);
    }
  }
  if (mustHave < count && lengths[mustHave] == 0) lengths[mustHave] = uint8_t(1 + rng() % 15);
  return lengths;
}

void RandomHuffmanBody(BitWriter& writer, const test::DynamicCode& code, std::mt19937& rng) {
  std::vector<int> used;
  for (size_t s = 0; s < code.litLengths.size(); ++s) {
    if (code.litLengths[s] != 0 && s != 256) used.push_back(int(s));
  }
  std::vector<int> usedDist;
  for (size_t s = 0; s < code.distLengths.size(); ++s) {
    if (code.distLengths[s] != 0) usedDist.push_back(int(s));
  }
  for (int n = int(rng() % 60); n > 0 && !used.empty(); --n) {
    if (rng() % 40 == 0) writer.Bits(uint32_t(rng()), int(rng() % 16));  // stray bits
    const int symbol = used[rng() % used.size()];
    code.LitLen(writer, symbol);
    if (symbol > 256) {
      writer.Bits(uint32_t(rng()), 5);  // more than any extra bits it may need
      if (!usedDist.empty()) code.Distance(writer, usedDist[rng() % usedDist.size()]);
      writer.Bits(uint32_t(rng() % 4), 13);  // small distances stay within the output
    }
  }
  if (code.litLengths[256] != 0) code.LitLen(writer, 256);
}

std::vector<uint8_t> RandomStream(std::mt19937& rng) {
  BitWriter writer;
  const int blocks = 1 + int(rng() % 3);
  for (int b = 0; b < blocks; ++b) {
    const bool final = b + 1 == blocks;
    const uint32_t kind = rng() % 10;
    if (kind == 0) {
      test::BlockHeader(writer, final, 0);
      writer.AlignToByte();
      const uint32_t length = rng() % 300;
      writer.Bits(length, 16);
      writer.Bits(rng() % 20 == 0 ? length : ~length & 0xFFFF, 16);
      for (uint32_t i = 0; i < length; ++i) writer.Bits(rng(), 8);
    } else if (kind <= 3) {
      test::BlockHeader(writer, final, 1);
      test::DynamicCode fixed{std::vector<uint8_t>(288, 8), std::vector<uint8_t>(32, 5)};
      std::fill(fixed.litLengths.begin() + 144, fixed.litLengths.begin() + 256, 9);
      std::fill(fixed.litLengths.begin() + 256, fixed.litLengths.begin() + 280, 7);
      RandomHuffmanBody(writer, fixed, rng);
    } else {
      test::DynamicCode code{RandomLengths(257 + rng() % 32, 256, rng), RandomLengths(1 + rng() % 32, 0, rng)};
      code.WriteHeader(writer, final);
      RandomHuffmanBody(writer, code, rng);
    }
  }
  auto stream = writer.Finish();
  if (rng() % 3 == 0 && !stream.empty()) stream.resize(rng() % stream.size());
  return stream;
}

void ExpectSameVerdict(std::span<const uint8_t> stream, size_t limit, int& accepted) {
  std::vector<uint8_t> fast;
  std::vector<uint8_t> reference;
  const bool fastOk = InflateWithLimit(stream, fast, 0, limit);
  const bool referenceOk = test::ReferenceInflate(stream, reference, 0, limit);
  ASSERT_EQ(fastOk, referenceOk) << "stream of " << stream.size() << " bytes, limit " << limit;
  ASSERT_LE(fast.size(), limit);
  if (fastOk) {
    ++accepted;
    ASSERT_EQ(fast, reference);
  }
}

TEST(ReferenceTest, HandBuiltStreamsWithOddCodes) {
  std::mt19937 rng(11);
  int accepted = 0;
  for (int i = 0; i < 12000; ++i) {
    const auto stream = RandomStream(rng);
    const size_t limit = i % 4 == 0 ? size_t(rng() % 2000) : kMaxInflatedSize;
    ASSERT_NO_FATAL_FAILURE(ExpectSameVerdict(stream, limit, accepted));
    // Every prefix of short streams: input running out at each byte.
    if (stream.size() < 40) {
      for (size_t n = 0; n < stream.size(); ++n) {
        ASSERT_NO_FATAL_FAILURE(ExpectSameVerdict(std::span(stream).first(n), limit, accepted));
      }
    }
  }
  EXPECT_GT(accepted, 1000);
}

TEST(ReferenceTest, CorruptedZlibStreamsAndSmallLimits) {
  std::mt19937 rng(12);
  int accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    const int w = 1 + int(rng() % 80), h = 1 + int(rng() % 20);
    const auto pixels = test::ScreenPixels(test::Content(i % 4), w, h, rng);
    auto raw = test::ZlibCompress(pixels, int(rng() % 10), int(rng() % 5), -15);
    const size_t limit = rng() % 2 ? pixels.size() - rng() % 300 : kMaxInflatedSize;
    ASSERT_NO_FATAL_FAILURE(ExpectSameVerdict(raw, limit, accepted));
    for (int flips = int(rng() % 4); flips > 0; --flips) {
      raw[rng() % raw.size()] ^= uint8_t(1 << (rng() % 8));
    }
    if (rng() % 4 == 0) raw.resize(rng() % raw.size());
    ASSERT_NO_FATAL_FAILURE(ExpectSameVerdict(raw, limit, accepted));
  }
  EXPECT_GT(accepted, 1500);
}

TEST(ReferenceTest, PaletteTilesAgree) {
  std::mt19937 rng(13);
  std::vector<uint8_t> fast;  // reused: nothing of an earlier tile may survive
  int accepted = 0;
  for (int i = 0; i < 500; ++i) {
    const int w = 1 + int(rng() % 130), h = 1 + int(rng() % 70);
    auto payload = test::PaletteTilePayload(w, h, 1 + int(rng() % 256), rng);
    if (rng() % 4 == 0) payload[rng() % payload.size()] = uint8_t(rng());  // maybe a bad index
    if (rng() % 8 == 0) payload.resize(rng() % payload.size());
    const auto data = test::ZlibCompress(payload, int(rng() % 10), 0);
    std::vector<uint8_t> reference;
    const int tw = rng() % 10 == 0 ? w + 1 : w;
    const bool ok = DecodePaletteTile(data, tw, h, fast);
    ASSERT_EQ(ok, test::ReferenceDecodePaletteTile(data, tw, h, reference));
    if (ok) {
      ++accepted;
      ASSERT_EQ(fast, reference);
    }
  }
  EXPECT_GT(accepted, 250) << "most tiles should be valid";
}

}  // namespace
}  // namespace stv
