// The decoder's own rules on hand-built streams, which can say what no compressor would:
// header and checksum, stored, fixed and dynamic blocks, matches, the output limit and the
// reserve hint; then zlib's own streams, and palette tiles. (Corrupted streams meet the
// reference decoder in the differential fuzz target.)
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <span>
#include <string>
#include <tuple>

#include "protocol/tile_decompression.h"

namespace stv {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Header fields go least significant bit first, Huffman codes most significant first.
class BitWriter {
 public:
  void Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i, ++bit_) {
      if (bit_ % 8 == 0) bytes_.push_back(0);
      bytes_.back() |= uint8_t(((value >> i) & 1) << (bit_ % 8));
    }
  }
  void Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Bits(code >> i, 1);
  }
  void AlignToByte() { bit_ = (bit_ + 7) / 8 * 8; }
  void Append(std::span<const uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    bit_ += 8 * bytes.size();
  }
  const std::vector<uint8_t>& Finish() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t bit_ = 0;
};

void BlockHeader(BitWriter& writer, bool final, int type) {
  writer.Bits(final ? 1 : 0, 1);
  writer.Bits(uint32_t(type), 2);
}

void FixedLitLen(BitWriter& writer, int symbol) {
  if (symbol < 144) return writer.Code(0x30 + symbol, 8);
  if (symbol < 256) return writer.Code(0x190 + symbol - 144, 9);
  if (symbol < 280) return writer.Code(symbol - 256, 7);
  writer.Code(0xC0 + symbol - 280, 8);
}

void FixedDistance(BitWriter& writer, int symbol) { writer.Code(uint32_t(symbol), 5); }

// A match of 3 to 10 or of 258 bytes from 1 to 4 bytes back: symbols without extra bits.
void FixedMatch(BitWriter& writer, int length, int distance) {
  FixedLitLen(writer, length == 258 ? 285 : 254 + length);
  FixedDistance(writer, distance - 1);
}

void Stored(BitWriter& writer, bool final, std::span<const uint8_t> content) {
  BlockHeader(writer, final, 0);
  writer.AlignToByte();
  writer.Bits(uint32_t(content.size()), 16);
  writer.Bits(~uint32_t(content.size()) & 0xFFFF, 16);
  writer.Append(content);
}

std::vector<uint8_t> StoredBlock(const std::vector<uint8_t>& content) {
  BitWriter writer;
  Stored(writer, true, content);
  return writer.Finish();
}

// A dynamic block header whose code-length code gives all 19 symbols 5 bits, so that each
// code-length symbol is written as its own value and a stream can say anything, even what a
// compressor never would (a leading 16, a repeat past the end).
struct CodeLengthSymbol {
  int symbol;          // 0..18
  uint32_t extra = 0;  // repeat bits of 16, 17, 18
};
void DynamicHeader(BitWriter& writer, bool final, int litCount, int distCount,
                   std::span<const CodeLengthSymbol> sequence) {
  BlockHeader(writer, final, 2);
  writer.Bits(uint32_t(litCount - 257), 5);
  writer.Bits(uint32_t(distCount - 1), 5);
  writer.Bits(19 - 4, 4);
  for (int i = 0; i < 19; ++i) writer.Bits(5, 3);
  for (const CodeLengthSymbol& item : sequence) {
    writer.Code(uint32_t(item.symbol), 5);
    if (item.symbol >= 16) writer.Bits(item.extra, item.symbol == 16 ? 2 : item.symbol == 17 ? 3 : 7);
  }
}

// The canonical code of `symbol` among `lengths` (RFC 1951), written to the stream.
void WriteCanonical(BitWriter& writer, std::span<const uint8_t> lengths, int symbol) {
  uint32_t code = 0;
  for (int length = 1; length < lengths[size_t(symbol)]; ++length) {
    code = (code + uint32_t(std::count(lengths.begin(), lengths.end(), length))) << 1;
  }
  code += uint32_t(std::count(lengths.begin(), lengths.begin() + symbol, lengths[size_t(symbol)]));
  writer.Code(code, lengths[size_t(symbol)]);
}

// A dynamic code given as plain lengths, each written as one code-length symbol 0..15.
struct DynamicCode {
  std::vector<uint8_t> litLengths;   // 257..288 entries
  std::vector<uint8_t> distLengths;  // 1..32 entries
  void WriteHeader(BitWriter& writer, bool final) const {
    std::vector<CodeLengthSymbol> sequence;
    for (uint8_t length : litLengths) sequence.push_back({length});
    for (uint8_t length : distLengths) sequence.push_back({length});
    DynamicHeader(writer, final, int(litLengths.size()), int(distLengths.size()), sequence);
  }
  void LitLen(BitWriter& writer, int symbol) const { WriteCanonical(writer, litLengths, symbol); }
  void Distance(BitWriter& writer, int symbol) const { WriteCanonical(writer, distLengths, symbol); }
};

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

// Literals 'a'..'c' and the end of block, all complete; distances 0..3 with two bits each.
DynamicCode SmallCode() {
  DynamicCode code{std::vector<uint8_t>(257, 0), std::vector<uint8_t>(4, 2)};
  for (int symbol : {'a', 'b', 'c'}) code.litLengths[size_t(symbol)] = 2;
  code.litLengths[256] = 3;
  code.litLengths.push_back(3);  // 257, length 3
  return code;
}

// zlib's deflate; windowBits < 0 gives a raw DEFLATE stream.
std::vector<uint8_t> Compress(std::span<const uint8_t> data, int level, int strategy = Z_DEFAULT_STRATEGY,
                              int windowBits = 15) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
  std::vector<uint8_t> out(deflateBound(&stream, data.size()) + 64);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = uInt(data.size());
  stream.next_out = out.data();
  stream.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
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
  const auto stream = Compress(abc, 0);  // 78 01, one stored block, the checksum
  ASSERT_EQ(stream.size(), 2 + 5 + 3 + 4u);
  std::vector<uint8_t> out;
  // 0x9D: not a multiple of 31; 0x77: method 7; 0xBB: preset dictionary; 0xF8: a window
  // beyond 32K is not checked.
  const std::tuple<uint8_t, uint8_t, bool> headers[] = {{0x78, 0x01, true},  {0x78, 0x9C, true},  {0x78, 0xDA, true},
                                                        {0x78, 0x9D, false}, {0x77, 0x85, false}, {0x78, 0xBB, false},
                                                        {0xF8, 0x00, true},  {0x08, 0x1D, true}};
  for (auto [cmf, flg, ok] : headers) {
    auto copy = stream;
    copy[0] = cmf;
    copy[1] = flg;
    EXPECT_EQ(InflateZlib(copy, out, 0), ok) << int(cmf) << " " << int(flg);
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
  ASSERT_TRUE(Inflate(StoredBlock({'!'}), out, 0));
  EXPECT_EQ(out, Bytes("!"));
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
    BlockHeader(writer, false, 0);
    writer.Bits(0b10101, 5);  // padding is ignored whatever it holds
    writer.Bits(0, 16);
    writer.Bits(0xFFFF, 16);
  }
  BlockHeader(writer, true, 1);
  FixedLitLen(writer, 'z');
  FixedLitLen(writer, 256);
  ASSERT_TRUE(InflateBits(writer, out));
  EXPECT_EQ(out, Bytes("z"));
}

TEST(FixedBlockTest, LiteralsMatchesAndForbiddenSymbols) {
  std::vector<uint8_t> out;
  BitWriter writer;
  BlockHeader(writer, true, 1);
  for (int symbol : {0, 143, 144, 255}) FixedLitLen(writer, symbol);
  FixedMatch(writer, 3, 4);    // a distance equal to the output copies from its start
  FixedMatch(writer, 258, 1);  // overlapping: repeats the last byte
  FixedMatch(writer, 10, 3);   // overlapping with a period of three
  BitWriter valid = writer;
  FixedLitLen(valid, 256);
  ASSERT_TRUE(InflateBits(valid, out));
  std::vector<uint8_t> expected = {0, 143, 144, 255, 0, 143, 144};
  expected.insert(expected.end(), 258 + 10, 144);
  EXPECT_EQ(out, expected);

  // Every strict prefix runs out of input.
  const auto stream = valid.Finish();
  for (size_t n = 0; n < stream.size(); ++n) EXPECT_FALSE(Inflate(std::span(stream).first(n), out, 0)) << n;

  for (int symbol : {286, 287}) {
    BitWriter bad = writer;
    FixedLitLen(bad, symbol);
    FixedDistance(bad, 0);
    bad.Bits(0, 16);
    EXPECT_FALSE(InflateBits(bad, out)) << symbol;
  }
  BitWriter tooFar;
  BlockHeader(tooFar, true, 1);
  FixedLitLen(tooFar, 'x');
  FixedMatch(tooFar, 3, 2);  // reaches before the start
  FixedLitLen(tooFar, 256);
  EXPECT_FALSE(InflateBits(tooFar, out));

  BitWriter reserved;
  BlockHeader(reserved, true, 3);
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
    DynamicHeader(writer, true, c.litCount, c.distCount, sequence);
    writer.Code(0b01, 2);
    EXPECT_EQ(InflateBits(writer, out), c.ok) << "case " << &c - cases;
    if (c.ok) {
      EXPECT_EQ(out, Bytes("A")) << "case " << &c - cases;
    }
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
        BlockHeader(writer, true, 1);
        FixedLitLen(writer, 257);
        FixedDistance(writer, symbol);
      }
      writer.Bits(symbol == 29 ? 0x1FFF : 0, symbol == 29 ? 13 : 14);  // as many as 30 and 31 would need
      dynamic ? code.LitLen(writer, 256) : FixedLitLen(writer, 256);
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
  BlockHeader(matches, true, 1);
  FixedLitLen(matches, 'q');
  for (int i = 0; i < 3; ++i) FixedMatch(matches, 258, 1);
  FixedLitLen(matches, 256);
  BitWriter literals;
  BlockHeader(literals, true, 1);
  for (int i = 0; i < 300; ++i) FixedLitLen(literals, i % 256);
  FixedLitLen(literals, 256);
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
  BlockHeader(writer, true, 1);
  FixedLitLen(writer, 0);
  for (size_t produced = 1; produced < kMaxInflatedSize + 1000; produced += 258) FixedMatch(writer, 258, 1);
  FixedLitLen(writer, 256);
  std::vector<uint8_t> out;
  EXPECT_FALSE(Inflate(writer.Finish(), out, 0));
  EXPECT_LE(out.size(), kMaxInflatedSize);
  EXPECT_GT(out.size(), kMaxInflatedSize - 258);
}

TEST(ReserveHintTest, ReservesOnlyWithinTheCapAndNeverLimits) {
  const auto abc = Bytes("abc");
  const auto stream = Compress(abc, 0);
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

// Runs of random literals over alphabets of every size, and copies from up to 40000 bytes
// back with periods from 1 up: every length and distance code, in the fast loop too.
std::vector<uint8_t> MixedContent(std::mt19937& rng, size_t size) {
  std::vector<uint8_t> data;
  while (data.size() < size) {
    if (!data.empty() && rng() % 2 == 0) {
      const size_t distance = 1 + rng() % std::min<size_t>(data.size(), rng() % 2 ? 40000 : 8);
      for (size_t n = 1 + rng() % 300; n > 0; --n) data.push_back(data[data.size() - distance]);
    } else {
      const uint32_t alphabet = 1 + rng() % 256;
      for (uint32_t n = rng() % 20; n > 0; --n) data.push_back(uint8_t(rng() % alphabet));
    }
  }
  data.resize(size);
  return data;
}

// Whatever zlib writes, at any level, strategy and window, inflates to the original bytes,
// with or without a hint; cut short, it fails. (Long streams come in several blocks.)
TEST(ZlibStreamTest, EveryLevelStrategyAndWindow) {
  std::mt19937 rng(2);
  for (int level = 0; level <= 9; ++level) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
      const auto data = MixedContent(rng, size_t{1} << (rng() % 17));
      const int windowBits = 9 + (level + strategy) % 7;
      const auto zlib = Compress(data, level, strategy, windowBits);
      std::vector<uint8_t> out;
      ASSERT_TRUE(InflateZlib(zlib, out, level % 2 ? data.size() : 0)) << level << " " << strategy;
      ASSERT_EQ(out, data);
      ASSERT_FALSE(InflateZlib(std::span(zlib).first(rng() % zlib.size()), out, 0));
      const auto raw = Compress(data, level, strategy, -windowBits);
      ASSERT_TRUE(Inflate(raw, out, 0));
      ASSERT_EQ(out, data);
      ASSERT_FALSE(Inflate(std::span(raw).first(rng() % raw.size()), out, 0));
    }
  }
}

// Flushes and parameter changes mix stored, fixed and dynamic blocks, empty ones among them;
// a stored block after a Huffman block gives back the bytes the decoder has read ahead.
TEST(ZlibStreamTest, FlushPointsAndParameterChanges) {
  std::mt19937 rng(3);
  z_stream stream{};
  ASSERT_EQ(deflateInit(&stream, 6), Z_OK);
  std::vector<uint8_t> data, compressed(1 << 22);
  stream.next_out = compressed.data();
  stream.avail_out = uInt(compressed.size());
  for (int piece = 0; piece < 40; ++piece) {
    const auto chunk = MixedContent(rng, piece % 7 == 0 ? 0 : size_t{1} << (rng() % 15));
    data.insert(data.end(), chunk.begin(), chunk.end());
    stream.next_in = const_cast<Bytef*>(chunk.data());
    stream.avail_in = uInt(chunk.size());
    const int flushes[] = {Z_NO_FLUSH, Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_PARTIAL_FLUSH, Z_BLOCK};
    ASSERT_NE(deflate(&stream, flushes[piece % 5]), Z_STREAM_ERROR);
    deflateParams(&stream, int(rng() % 10), int(rng() % 5));
  }
  ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  compressed.resize(stream.total_out);
  deflateEnd(&stream);
  std::vector<uint8_t> out;
  ASSERT_TRUE(InflateZlib(compressed, out, 0));
  EXPECT_EQ(out, data);
}

// Count bytes, `entries` colours 0x10203000 + i, then the indexes.
std::vector<uint8_t> Payload(uint8_t countLow, uint8_t countHigh, int entries, const std::vector<uint8_t>& indexes) {
  std::vector<uint8_t> payload = {countLow, countHigh};
  for (int i = 0; i < entries; ++i) payload.insert(payload.end(), {uint8_t(i), 0x30, 0x20, 0x10});
  payload.insert(payload.end(), indexes.begin(), indexes.end());
  return payload;
}

TEST(PaletteTileTest, CountIndexesAndLengths) {
  const std::vector<uint8_t> indexes = {0, 1, 2, 2, 1, 0};
  auto trailing = Payload(3, 0, 3, indexes);
  trailing.insert(trailing.end(), 100, 9);
  const struct {
    std::vector<uint8_t> payload;
    int w, h;
    std::vector<uint8_t> pixelIndexes;  // empty: the tile fails
  } cases[] = {
      {Payload(0, 0, 0, indexes), 3, 2, {}},    // no entries
      {Payload(1, 1, 257, indexes), 3, 2, {}},  // 257 entries
      {Payload(1, 0, 1, {0, 0, 0, 0, 0, 0}), 3, 2, {0, 0, 0, 0, 0, 0}},
      {Payload(0, 1, 256, {255, 0}), 2, 1, {255, 0}},  // count little-endian: 256
      {Payload(3, 0, 3, indexes), 3, 2, indexes},
      {trailing, 3, 2, indexes},                         // bytes after the indexes
      {Payload(2, 0, 2, indexes), 3, 2, {}},             // an index equal to the count
      {Payload(3, 0, 3, {0, 1, 2, 2, 1, 3}), 3, 2, {}},  // the last index bad
      {Payload(3, 0, 3, {0, 1, 2, 2, 1}), 3, 2, {}},     // an index missing
      {Payload(3, 0, 2, {}), 1, 1, {}},                  // the palette cut short
      {{1}, 1, 1, {}},                                   // a lone count byte
      {Payload(3, 0, 3, indexes), 0, 6, {}},
      {Payload(3, 0, 3, indexes), 6, 0, {}},
      {Payload(3, 0, 3, indexes), -3, -2, {}},
  };
  std::vector<uint8_t> out;
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    std::vector<uint8_t> expected;
    for (uint8_t index : c.pixelIndexes) expected.insert(expected.end(), {index, 0x30, 0x20, 0x10});
    const bool ok = DecodePaletteTile(Compress(c.payload, 6), c.w, c.h, out);
    EXPECT_EQ(ok, !expected.empty());
    EXPECT_EQ(ok ? out : std::vector<uint8_t>{}, expected);
  }
  auto badChecksum = Compress(Payload(3, 0, 3, indexes), 6);
  badChecksum.back() ^= 0x80;
  EXPECT_FALSE(DecodePaletteTile(badChecksum, 3, 2, out));
}

}  // namespace
}  // namespace stv
