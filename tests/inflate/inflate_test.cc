// The decoder's own rules, on hand-built streams: header and checksum, stored, fixed and
// dynamic blocks, matches, the output limit and the reserve hint.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "inflate/deflate_writer.h"
#include "protocol/tile_decompression.h"

namespace stv {
namespace {

using test::BitWriter;
using test::CodeLengthSymbol;
using test::DynamicCode;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

void Stored(BitWriter& writer, bool final, const std::vector<uint8_t>& content) {
  test::BlockHeader(writer, final, 0);
  writer.AlignToByte();
  const uint32_t length = uint32_t(content.size());
  writer.Bits(length, 16);
  writer.Bits(~length & 0xFFFF, 16);
  writer.Bytes(content);
}

std::vector<uint8_t> StoredBlock(const std::vector<uint8_t>& content) {
  BitWriter writer;
  Stored(writer, true, content);
  return writer.Finish();
}

// 70000 bytes of history: enough for any distance a wrongly accepted symbol could mean.
void LongHistory(BitWriter& writer) {
  for (size_t length : {65535u, 4465u}) Stored(writer, false, std::vector<uint8_t>(length, 'h'));
}

bool InflateBits(const BitWriter& writer, std::vector<uint8_t>& out) {
  return Inflate(writer.Finish(), out, 0);
}

// Lengths for a small dynamic code: literals 'a'..'d' and the end of block, all
// complete; distances 0..3 with two bits each.
DynamicCode SmallCode() {
  DynamicCode code{std::vector<uint8_t>(257, 0), std::vector<uint8_t>(4, 2)};
  for (int symbol : {'a', 'b', 'c'}) code.litLengths[size_t(symbol)] = 2;
  code.litLengths[256] = 3;
  code.litLengths.push_back(3);  // 257, length 3
  return code;
}

TEST(Adler32Test, KnownValuesAndLongRuns) {
  EXPECT_EQ(Adler32({}), 1u);
  EXPECT_EQ(Adler32(Bytes("Wikipedia")), 0x11E60398u);
  // All 0xFF is the worst case for the deferred modulo; then every length and alignment
  // around the vector width and the reduction interval.
  const std::vector<uint8_t> ones(100000, 0xFF);
  EXPECT_EQ(Adler32(ones), adler32_z(1, ones.data(), ones.size()));
  std::vector<uint8_t> bytes(12000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 2654435761u >> 13);
  for (size_t length : {1, 15, 16, 17, 31, 5551, 5552, 5553, 11104, 11105, 11990}) {
    for (size_t offset = 0; offset < 8; ++offset) {
      const auto part = std::span(bytes).subspan(offset, length);
      ASSERT_EQ(Adler32(part), adler32_z(1, part.data(), part.size())) << length << "+" << offset;
    }
  }
}

TEST(ZlibHeaderTest, HeaderAndChecksum) {
  const auto abc = Bytes("abc");
  const auto stream = test::WrapZlib(StoredBlock(abc), abc);
  std::vector<uint8_t> out;
  auto withHeader = [&](uint8_t cmf, uint8_t flg) {
    auto copy = stream;
    copy[0] = cmf;
    copy[1] = flg;
    return InflateZlib(copy, out, 0);
  };
  EXPECT_TRUE(withHeader(0x78, 0x01));
  EXPECT_EQ(out, abc);
  EXPECT_TRUE(withHeader(0x78, 0x9C));
  EXPECT_TRUE(withHeader(0x78, 0xDA));
  EXPECT_FALSE(withHeader(0x78, 0x9D));  // not a multiple of 31
  EXPECT_FALSE(withHeader(0x77, 0x85));  // a multiple of 31, but method 7
  EXPECT_FALSE(withHeader(0x78, 0xBB));  // preset dictionary
  EXPECT_TRUE(withHeader(0xF8, 0x00));   // window size beyond 32K is not checked
  EXPECT_TRUE(withHeader(0x08, 0x1D));

  out = Bytes("stale");
  EXPECT_FALSE(InflateZlib(std::span(stream).first(5), out, 0));
  EXPECT_TRUE(out.empty());
  auto broken = stream;
  broken.back() ^= 1;
  EXPECT_FALSE(InflateZlib(broken, out, 0));
  // The checksum is always the last four bytes: anything between it and the final block is
  // ignored, and a stream that needs the checksum's bytes as DEFLATE data fails.
  auto padded = stream;
  padded.insert(padded.end() - 4, {0xDE, 0xAD, 0xBE});
  ASSERT_TRUE(InflateZlib(padded, out, 0));
  EXPECT_EQ(out, abc);
  auto truncated = stream;
  truncated.erase(truncated.end() - 5);
  EXPECT_FALSE(InflateZlib(truncated, out, 0));
}

TEST(StoredBlockTest, LengthChecks) {
  std::vector<uint8_t> out;
  auto block = StoredBlock(Bytes("hello"));
  ASSERT_TRUE(Inflate(block, out, 0));
  EXPECT_EQ(out, Bytes("hello"));

  auto badComplement = block;
  badComplement[3] ^= 0x01;
  EXPECT_FALSE(Inflate(badComplement, out, 0));
  EXPECT_FALSE(Inflate(std::span(block).first(block.size() - 1), out, 0));
  EXPECT_FALSE(Inflate(std::span(block).first(4), out, 0));  // NLEN cut short

  // Empty stored blocks, then a fixed block: the padding bits after a header are skipped.
  BitWriter writer;
  for (int i = 0; i < 3; ++i) {
    test::BlockHeader(writer, false, 0);
    writer.Bits(0b10101, 5);  // padding is ignored whatever it holds
    writer.Bits(0, 16);
    writer.Bits(0xFFFF, 16);
  }
  test::BlockHeader(writer, true, 1);
  test::FixedLitLen(writer, 'z');
  test::FixedLitLen(writer, 256);
  ASSERT_TRUE(InflateBits(writer, out));
  EXPECT_EQ(out, Bytes("z"));
}

TEST(FixedBlockTest, LiteralsMatchesAndForbiddenSymbols) {
  std::vector<uint8_t> out;
  BitWriter writer;
  test::BlockHeader(writer, true, 1);
  for (int symbol : {0, 143, 144, 255}) test::FixedLitLen(writer, symbol);
  test::FixedMatch(writer, 3, 4);     // a distance equal to the output copies from its start
  test::FixedMatch(writer, 258, 1);   // overlapping: repeats the last byte
  test::FixedMatch(writer, 10, 3);    // overlapping with a period of three
  BitWriter valid = writer;
  test::FixedLitLen(valid, 256);
  ASSERT_TRUE(InflateBits(valid, out));
  std::vector<uint8_t> expected = {0, 143, 144, 255, 0, 143, 144};
  expected.insert(expected.end(), 258, 144);
  for (int i = 0; i < 10; ++i) expected.push_back(144);
  EXPECT_EQ(out, expected);

  // Every strict prefix runs out of input.
  const auto stream = valid.Finish();
  for (size_t n = 0; n < stream.size(); ++n) {
    EXPECT_FALSE(Inflate(std::span(stream).first(n), out, 0)) << n;
  }

  for (int symbol : {286, 287}) {
    BitWriter bad = writer;
    test::FixedLitLen(bad, symbol);
    test::FixedDistance(bad, 0);
    bad.Bits(0, 16);
    EXPECT_FALSE(InflateBits(bad, out)) << symbol;
  }
  BitWriter tooFar;
  test::BlockHeader(tooFar, true, 1);
  test::FixedLitLen(tooFar, 'x');
  test::FixedMatch(tooFar, 3, 2);  // reaches before the start
  test::FixedLitLen(tooFar, 256);
  EXPECT_FALSE(InflateBits(tooFar, out));

  BitWriter reserved;
  test::BlockHeader(reserved, true, 3);
  reserved.Bits(0, 16);
  EXPECT_FALSE(InflateBits(reserved, out));
}

TEST(FixedBlockTest, LongestDistance) {
  std::vector<uint8_t> content(32768);
  for (size_t i = 0; i < content.size(); ++i) content[i] = uint8_t(i * 7 + i / 256);
  BitWriter writer;
  Stored(writer, false, content);
  test::BlockHeader(writer, true, 1);
  test::FixedMatch(writer, 258, 32768);
  test::FixedLitLen(writer, 256);
  std::vector<uint8_t> out;
  ASSERT_TRUE(InflateBits(writer, out));
  ASSERT_EQ(out.size(), 32768u + 258u);
  EXPECT_EQ(0, std::memcmp(out.data() + 32768, content.data(), 258));
}

TEST(DynamicBlockTest, CodeLengthSequenceRules) {
  std::vector<uint8_t> out;
  auto decodes = [&](int litCount, int distCount, std::vector<CodeLengthSymbol> sequence,
                     int literal) {
    // Symbol `literal` then the end of block, both with the codes the sequence gives them.
    BitWriter writer;
    test::DynamicHeader(writer, true, litCount, distCount, sequence);
    std::vector<uint8_t> lengths;
    for (const auto& item : sequence) {
      if (item.symbol < 16) lengths.push_back(uint8_t(item.symbol));
      if (item.symbol == 16) {  // as if a missing previous length were 0
        lengths.insert(lengths.end(), 3 + item.extra, lengths.empty() ? 0 : lengths.back());
      }
      if (item.symbol == 17) lengths.insert(lengths.end(), 3 + item.extra, 0);
      if (item.symbol == 18) lengths.insert(lengths.end(), 11 + item.extra, 0);
    }
    lengths.resize(size_t(litCount));
    const auto codes = test::CanonicalCodes(lengths);
    writer.Code(codes[size_t(literal)], lengths[size_t(literal)]);
    writer.Code(codes[256], lengths[256]);
    return InflateBits(writer, out) && out == std::vector<uint8_t>{uint8_t(literal)};
  };
  // 'A' and end of block with one bit each, 256 lengths in between from repeats.
  std::vector<CodeLengthSymbol> base = {{18, 54}, {1}, {18, 127}, {18, 41}, {1}};
  base.push_back({0});  // one distance length
  EXPECT_TRUE(decodes(257, 1, base, 65));

  // Valid if a leading 16 repeated zeros; it fails instead.
  auto leading16 = base;
  leading16[0] = {18, 51};
  leading16.insert(leading16.begin(), {16, 0});
  EXPECT_FALSE(decodes(257, 1, leading16, 65));
  auto leading17 = leading16;
  leading17[0] = {17, 0};
  EXPECT_TRUE(decodes(257, 1, leading17, 65));

  // A repeat running past the end is cut short: a zero run of 138 covers the distances.
  auto overrun = base;
  overrun.back() = {18, 127};
  EXPECT_TRUE(decodes(257, 30, overrun, 65));
  auto repeatLast = base;
  repeatLast.back() = {16, 3};  // repeats the end of block's length 1 into the distances
  EXPECT_TRUE(decodes(257, 1, repeatLast, 65));

  // The largest counts: 288 literal/length and 32 distance lengths.
  auto largest = base;
  largest.back() = {18, 63 - 11};  // 31 more literal/length lengths and 32 distance lengths
  EXPECT_TRUE(decodes(288, 32, largest, 65));

  // Three codes of length 1: over-subscribed.
  auto oversubscribed = base;
  oversubscribed[0] = {18, 53};
  oversubscribed.insert(oversubscribed.begin() + 1, {1});
  EXPECT_FALSE(decodes(257, 1, oversubscribed, 65));
}

TEST(DynamicBlockTest, IncompleteAndOversubscribedCodes) {
  std::vector<uint8_t> out;
  DynamicCode code = SmallCode();
  code.litLengths[257] = 0;  // leaves one 3-bit literal/length code unused
  code.distLengths = {1};    // one distance code of one bit
  BitWriter writer;
  code.WriteHeader(writer, true);
  code.LitLen(writer, 'a');
  BitWriter valid = writer;
  code.LitLen(valid, 256);
  ASSERT_TRUE(InflateBits(valid, out));
  EXPECT_EQ(out, Bytes("a"));

  // The unused code 111 fails, however many bits follow it.
  BitWriter unused = writer;
  unused.Code(0b111, 3);
  unused.Bits(0, 20);
  EXPECT_FALSE(InflateBits(unused, out));

  DynamicCode withMatch = SmallCode();
  withMatch.distLengths = {1};
  BitWriter unusedDistance;
  withMatch.WriteHeader(unusedDistance, true);
  withMatch.LitLen(unusedDistance, 'a');
  withMatch.LitLen(unusedDistance, 257);
  unusedDistance.Code(1, 1);  // the distance code has only 0
  unusedDistance.Bits(0, 20);
  EXPECT_FALSE(InflateBits(unusedDistance, out));

  DynamicCode noDistances = SmallCode();
  noDistances.distLengths = {0, 0};
  BitWriter literalsOnly;
  noDistances.WriteHeader(literalsOnly, true);
  noDistances.LitLen(literalsOnly, 'c');
  noDistances.LitLen(literalsOnly, 256);
  ASSERT_TRUE(InflateBits(literalsOnly, out));
  EXPECT_EQ(out, Bytes("c"));

  DynamicCode oversubscribed = SmallCode();
  oversubscribed.distLengths = {1, 1, 1};
  BitWriter bad;
  oversubscribed.WriteHeader(bad, true);
  bad.Bits(0, 32);
  EXPECT_FALSE(InflateBits(bad, out));
}

// With enough history for any distance they could mean, 30 and 31 still fail.
TEST(DistanceSymbolTest, ThirtyAndThirtyOneFailInFixedAndDynamicBlocks) {
  std::vector<uint8_t> out;
  DynamicCode code = SmallCode();
  code.distLengths.assign(32, 5);
  for (bool dynamic : {false, true}) {
    for (int symbol : {29, 30, 31}) {
      BitWriter writer;
      LongHistory(writer);
      if (dynamic) {
        code.WriteHeader(writer, true);
        code.LitLen(writer, 257);
        code.Distance(writer, symbol);
      } else {
        test::BlockHeader(writer, true, 1);
        test::FixedLitLen(writer, 257);
        test::FixedDistance(writer, symbol);
      }
      writer.Bits(0, 13);
      dynamic ? code.LitLen(writer, 256) : test::FixedLitLen(writer, 256);
      EXPECT_EQ(InflateBits(writer, out), symbol == 29) << symbol << (dynamic ? " dynamic" : " fixed");
    }
  }
}

TEST(LimitTest, EveryPathStopsAtTheLimit) {
  BitWriter matches;  // 1 literal + 3 matches of 258
  test::BlockHeader(matches, true, 1);
  test::FixedLitLen(matches, 'q');
  for (int i = 0; i < 3; ++i) test::FixedMatch(matches, 258, 1);
  test::FixedLitLen(matches, 256);
  BitWriter literals;
  test::BlockHeader(literals, true, 1);
  for (int i = 0; i < 300; ++i) test::FixedLitLen(literals, i % 256);
  test::FixedLitLen(literals, 256);
  const std::pair<std::vector<uint8_t>, size_t> cases[] = {
      {matches.Finish(), 775}, {literals.Finish(), 300}, {StoredBlock(std::vector<uint8_t>(1000, 'k')), 1000}};
  std::vector<uint8_t> out;
  for (const auto& [stream, size] : cases) {
    EXPECT_TRUE(InflateWithLimit(stream, out, 0, size)) << size;
    EXPECT_EQ(out.size(), size);
    EXPECT_FALSE(InflateWithLimit(stream, out, 0, size - 1)) << size;
    EXPECT_LE(out.size(), size - 1);
  }
}

// About 1.7 MB of matches that would expand just past 256 MiB: decoding stops at the cap.
TEST(LimitTest, BombStopsAtTheCap) {
  BitWriter writer;
  test::BlockHeader(writer, true, 1);
  test::FixedLitLen(writer, 0);
  for (size_t produced = 1; produced < kMaxInflatedSize + 1000; produced += 258) {
    test::FixedMatch(writer, 258, 1);
  }
  test::FixedLitLen(writer, 256);
  std::vector<uint8_t> out;
  EXPECT_FALSE(Inflate(writer.Finish(), out, 0));
  EXPECT_LE(out.size(), kMaxInflatedSize);
  EXPECT_GT(out.size(), kMaxInflatedSize - 258);
}

TEST(ReserveHintTest, ReservesOnlyWithinTheCapAndNeverLimits) {
  const auto abc = Bytes("abc");
  const auto stream = test::WrapZlib(StoredBlock(abc), abc);
  std::vector<uint8_t> out;
  ASSERT_TRUE(InflateZlib(stream, out, 100000));
  EXPECT_GE(out.capacity(), 100000u);
  for (size_t hint : {size_t{0}, kMaxInflatedSize + 1, SIZE_MAX}) {
    std::vector<uint8_t> fresh;
    ASSERT_TRUE(InflateZlib(stream, fresh, hint));
    EXPECT_EQ(fresh, abc);
    EXPECT_LT(fresh.capacity(), size_t{1} << 20);
  }
  ASSERT_TRUE(Inflate(StoredBlock(std::vector<uint8_t>(60000, 'r')), out, 1));
  EXPECT_EQ(out.size(), 60000u);
}

}  // namespace
}  // namespace stv
