// The decoder's own rules, on hand-built streams: header and checksum, stored, fixed and
// dynamic blocks, matches, the output limit and the reserve hint.
#include <gtest/gtest.h>
#include <zlib.h>

#include <span>
#include <string>
#include <tuple>

#include "protocol/deflate_writer.h"
#include "protocol/tile_decompression.h"

namespace stv {
namespace {

using test::BitWriter;
using test::CodeLengthSymbol;
using test::DynamicCode;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

void Stored(BitWriter& writer, bool final, std::span<const uint8_t> content) {
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

// 70000 bytes of history: enough for any distance a wrongly accepted symbol could mean, and
// without short periods, so that a copy from the wrong place shows.
std::vector<uint8_t> LongHistory(BitWriter& writer) {
  std::vector<uint8_t> history(70000);
  for (size_t i = 0; i < history.size(); ++i) history[i] = uint8_t(i * 7 + i / 256);
  Stored(writer, false, std::span(history).first(65535));
  Stored(writer, false, std::span(history).subspan(65535));
  return history;
}

bool InflateBits(const BitWriter& writer, std::vector<uint8_t>& out) { return Inflate(writer.Finish(), out, 0); }

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
  // All 0xFF is the worst case for the deferred modulo; then every length and alignment
  // around the vector width and the reduction interval.
  const std::vector<uint8_t> ones(100000, 0xFF);
  EXPECT_EQ(Adler32(ones), adler32_z(1, ones.data(), ones.size()));
  std::vector<uint8_t> bytes(12000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 2654435761u >> 13);
  for (size_t length : {0, 1, 15, 16, 17, 31, 5551, 5552, 5553, 11104, 11105, 11990}) {
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
  // 0x9D: not a multiple of 31; 0x77: method 7; 0xBB: preset dictionary; 0xF8: a window
  // beyond 32K is not checked.
  const std::tuple<uint8_t, uint8_t, bool> headers[] = {{0x78, 0x01, true},  {0x78, 0x9C, true},  {0x78, 0xDA, true},
                                                        {0x78, 0x9D, false}, {0x77, 0x85, false}, {0x78, 0xBB, false},
                                                        {0xF8, 0x00, true},  {0x08, 0x1D, true}};
  for (auto [cmf, flg, ok] : headers) {
    EXPECT_EQ(withHeader(cmf, flg), ok) << int(cmf) << " " << int(flg);
    if (ok) {
      EXPECT_EQ(out, abc);
    }
  }

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
  test::FixedMatch(writer, 3, 4);    // a distance equal to the output copies from its start
  test::FixedMatch(writer, 258, 1);  // overlapping: repeats the last byte
  test::FixedMatch(writer, 10, 3);   // overlapping with a period of three
  BitWriter valid = writer;
  test::FixedLitLen(valid, 256);
  ASSERT_TRUE(InflateBits(valid, out));
  std::vector<uint8_t> expected = {0, 143, 144, 255, 0, 143, 144};
  expected.insert(expected.end(), 258 + 10, 144);
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

TEST(DynamicBlockTest, CodeLengthSequenceRules) {
  // Each sequence is `head`, then 'A', 190 zeros from repeats and the end of block, then
  // `tail`. Valid ones give 'A' the code 0 and the end of block the code 1, one bit each.
  const struct {
    int litCount, distCount;
    std::vector<CodeLengthSymbol> head, tail;
    bool ok;
  } cases[] = {
      {257, 1, {{18, 54}}, {{0}}, true},
      {257, 1, {{16, 0}, {18, 51}}, {{0}}, false},  // a leading 16 has nothing to repeat
      {257, 1, {{17, 0}, {18, 51}}, {{0}}, true},
      {257, 30, {{18, 54}}, {{18, 127}}, true},  // a repeat past the end is cut short
      {257, 1, {{18, 54}}, {{16, 3}}, true},     // repeats the end of block's 1 into the distances
      {288, 32, {{18, 54}}, {{18, 52}}, true},   // the largest counts
      {257, 1, {{18, 53}, {1}}, {{0}}, false},   // three codes of length 1: over-subscribed
  };
  std::vector<uint8_t> out;
  for (const auto& c : cases) {
    auto sequence = c.head;
    sequence.insert(sequence.end(), {{1}, {18, 127}, {18, 41}, {1}});
    sequence.insert(sequence.end(), c.tail.begin(), c.tail.end());
    BitWriter writer;
    test::DynamicHeader(writer, true, c.litCount, c.distCount, sequence);
    writer.Code(0b01, 2);
    EXPECT_EQ(InflateBits(writer, out) && out == Bytes("A"), c.ok) << "case " << &c - cases;
  }
}

TEST(DynamicBlockTest, IncompleteAndOversubscribedCodes) {
  std::vector<uint8_t> out;
  // The header, the symbols, then a code the block lacks and zeros that must not rescue it.
  auto decode = [&](const DynamicCode& code, std::vector<int> symbols, uint32_t bad = 0, int badBits = 0) {
    BitWriter writer;
    code.WriteHeader(writer, true);
    for (int symbol : symbols) code.LitLen(writer, symbol);
    writer.Code(bad, badBits);
    writer.Bits(0, badBits ? 20 : 0);
    return InflateBits(writer, out);
  };
  DynamicCode code = SmallCode();
  code.distLengths = {1};  // the distance code 1 is unused
  DynamicCode incomplete = code;
  incomplete.litLengths[257] = 0;  // the literal/length code 111 is unused
  EXPECT_TRUE(decode(incomplete, {'a', 256}));
  EXPECT_EQ(out, Bytes("a"));
  EXPECT_FALSE(decode(incomplete, {'a'}, 0b111, 3));
  EXPECT_FALSE(decode(code, {'a', 257}, 1, 1));
  code.distLengths = {0, 0};  // no distances at all is fine without matches
  EXPECT_TRUE(decode(code, {'c', 256}));
  EXPECT_EQ(out, Bytes("c"));
  code.distLengths = {1, 1, 1};
  EXPECT_FALSE(decode(code, {}, 0, 32));
}

// With enough history for any distance they could mean, 30 and 31 still fail; 29 with all
// extra bits set reaches back exactly 32768 bytes.
TEST(DistanceSymbolTest, LongestDistanceAndThirtyAndThirtyOneInFixedAndDynamicBlocks) {
  std::vector<uint8_t> out;
  DynamicCode code = SmallCode();
  code.distLengths.assign(32, 5);
  for (bool dynamic : {false, true}) {
    for (int symbol : {29, 30, 31}) {
      BitWriter writer;
      const auto history = LongHistory(writer);
      if (dynamic) {
        code.WriteHeader(writer, true);
        code.LitLen(writer, 257);
        code.Distance(writer, symbol);
      } else {
        test::BlockHeader(writer, true, 1);
        test::FixedLitLen(writer, 257);
        test::FixedDistance(writer, symbol);
      }
      writer.Bits(symbol == 29 ? 0x1FFF : 0, symbol == 29 ? 13 : 14);  // as many as 30 and 31 would need
      dynamic ? code.LitLen(writer, 256) : test::FixedLitLen(writer, 256);
      EXPECT_EQ(InflateBits(writer, out), symbol == 29) << symbol << (dynamic ? " dynamic" : " fixed");
      if (symbol == 29) {
        auto expected = history;
        expected.insert(expected.end(), history.end() - 32768, history.end() - 32765);
        EXPECT_EQ(out, expected);
      }
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
