// The DEFLATE decoder behind Inflate: table-driven Huffman decoding over a 64-bit bit
// buffer, with a fast loop for the bulk of a stream and a careful one near the ends of
// the input and of the output buffer.
//
// Its verdicts must be exactly those of a plain bit-at-a-time decoder:
// - a bit pattern that no code of an incomplete set starts with fails, just as reading
//   15 bits without reaching a code does;
// - running out of input fails wherever it happens: past the end the buffer is filled
//   with zero bytes that are counted, and consuming any of them is a failure;
// - the output never grows beyond the limit, on any path.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include "protocol/tile_decompression.h"

namespace stv {
namespace {

constexpr int kMaxCodeBits = 15;
constexpr int kLitLenSymbols = 288;
constexpr int kDistSymbols = 32;
constexpr int kCodeLengthSymbols = 19;

constexpr std::array<uint16_t, 29> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 30> kDistBase = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> kDistExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<uint8_t, kCodeLengthSymbols> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

// ---------------------------------------------------------------------------------------
// Decode tables.
//
// A table is indexed by the next `primaryBits` bits of the stream. Codes longer than that
// continue in a sub-table, indexed by the bits after the primary ones. One entry:
//   bits 0..3    code length (for a link: unused)
//   bits 4..7    extra bits after the code (for a link: the sub-table's index bits)
//   bits 8..15   kind; no kind bit means "no valid symbol": fail
//   bits 16..31  literal byte, base length or distance, code-length symbol, or the
//                sub-table's offset for a link
// An entry of 0 is a slot no code reaches, or a symbol that may not be decoded (length
// symbols 286 and 287, distance symbols 30 and 31): both fail, as they would one bit at
// a time, because the bits in the buffer are the stream's own bits.
constexpr uint32_t kLiteral = 1u << 8;  // also a code-length symbol
constexpr uint32_t kLength = 1u << 9;   // also a distance
constexpr uint32_t kEndOfBlock = 1u << 10;
constexpr uint32_t kLink = 1u << 11;

constexpr int kLitLenPrimaryBits = 10;
constexpr int kDistPrimaryBits = 8;
constexpr int kCodeLengthPrimaryBits = 7;  // code-length codes are at most 7 bits long

// Sub-tables all have (longest code - primary bits) index bits; there is at most one per
// symbol, so these sizes always suffice.
constexpr size_t kLitLenTableSize =
    (1u << kLitLenPrimaryBits) + kLitLenSymbols * (1u << (kMaxCodeBits - kLitLenPrimaryBits));
constexpr size_t kDistTableSize = (1u << kDistPrimaryBits) + kDistSymbols * (1u << (kMaxCodeBits - kDistPrimaryBits));
constexpr size_t kCodeLengthTableSize = 1u << kCodeLengthPrimaryBits;

constexpr uint32_t MakeEntry(uint32_t kind, uint32_t value, uint32_t extraBits) {
  return value << 16 | kind | extraBits << 4;
}

uint32_t LitLenEntry(int symbol) {
  if (symbol < 256) return MakeEntry(kLiteral, uint32_t(symbol), 0);
  if (symbol == 256) return kEndOfBlock;
  if (symbol < 286) {
    const size_t i = size_t(symbol - 257);
    return MakeEntry(kLength, kLengthBase[i], kLengthExtra[i]);
  }
  return 0;
}

uint32_t DistEntry(int symbol) {
  if (symbol < 30) return MakeEntry(kLength, kDistBase[size_t(symbol)], kDistExtra[size_t(symbol)]);
  return 0;
}

uint32_t CodeLengthEntry(int symbol) { return MakeEntry(kLiteral, uint32_t(symbol), 0); }

uint32_t ReverseBits(uint32_t code, int length) {
  uint32_t reversed = 0;
  for (int i = 0; i < length; ++i) {
    reversed = (reversed << 1) | (code & 1);
    code >>= 1;
  }
  return reversed;
}

// Builds the table of the canonical code with these lengths. Fails only when the lengths
// over-subscribe the code space; incomplete sets leave some slots at 0.
bool BuildTable(std::span<const uint8_t> lengths, uint32_t (*entryOf)(int), int primaryBits, uint32_t* table) {
  std::array<uint16_t, kMaxCodeBits + 1> counts{};
  for (uint8_t length : lengths) ++counts[length];
  int left = 1;
  int longest = 0;
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    left = left * 2 - counts[length];
    if (left < 0) return false;
    if (counts[length] != 0) longest = length;
  }
  // Symbols sorted by code length, then value: the order of canonical code assignment.
  std::array<uint16_t, kMaxCodeBits + 2> offsets{};
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    offsets[length + 1] = offsets[length] + counts[length];
  }
  std::array<uint16_t, kLitLenSymbols> sorted;
  for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
    if (lengths[symbol] != 0) sorted[offsets[lengths[symbol]]++] = uint16_t(symbol);
  }
  const size_t codeCount = lengths.size() - counts[0];

  const uint32_t primarySize = 1u << primaryBits;
  const int subBits = std::max(0, longest - primaryBits);
  std::fill(table, table + primarySize, 0u);
  uint32_t nextSubTable = primarySize;
  uint32_t code = 0;
  int length = 0;
  for (size_t i = 0; i < codeCount; ++i) {
    const int symbol = sorted[i];
    const int symbolLength = lengths[size_t(symbol)];
    code <<= (symbolLength - length);
    length = symbolLength;
    const uint32_t reversed = ReverseBits(code++, length);
    const uint32_t entry = entryOf(symbol) | uint32_t(length);
    if (length <= primaryBits) {
      for (uint32_t slot = reversed; slot < primarySize; slot += 1u << length) table[slot] = entry;
      continue;
    }
    uint32_t& link = table[reversed & (primarySize - 1)];
    if (link == 0) {
      link = MakeEntry(kLink, nextSubTable, uint32_t(subBits));
      std::fill(table + nextSubTable, table + nextSubTable + (1u << subBits), 0u);
      nextSubTable += 1u << subBits;
    }
    uint32_t* sub = table + (link >> 16);
    const int restBits = length - primaryBits;
    for (uint32_t slot = reversed >> primaryBits; slot < (1u << subBits); slot += 1u << restBits) {
      sub[slot] = entry;
    }
  }
  return true;
}

struct HuffmanTables {
  std::array<uint32_t, kLitLenTableSize> litLen;
  std::array<uint32_t, kDistTableSize> dist;
};

const HuffmanTables& FixedTables() {
  static const HuffmanTables tables = [] {
    HuffmanTables built;
    std::array<uint8_t, kLitLenSymbols> lengths{};
    std::fill(lengths.begin(), lengths.begin() + 144, 8);
    std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
    std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
    std::fill(lengths.begin() + 280, lengths.end(), 8);
    BuildTable(lengths, LitLenEntry, kLitLenPrimaryBits, built.litLen.data());
    std::array<uint8_t, 30> distLengths;
    distLengths.fill(5);
    BuildTable(distLengths, DistEntry, kDistPrimaryBits, built.dist.data());
    return built;
  }();
  return tables;
}

// ---------------------------------------------------------------------------------------
// Bit input: up to 63 bits in a 64-bit buffer, least significant first.
struct BitInput {
  const uint8_t* next;
  const uint8_t* end;
  uint64_t bits = 0;
  unsigned count = 0;   // valid bits in `bits`; bits above them may hold the next bytes
  size_t padBytes = 0;  // zero bytes added past the end of the input
};

inline uint64_t LoadLittleEndian64(const uint8_t* p) {
  uint64_t value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
  return value;
}

// Needs 8 readable bytes. Leaves 56 to 63 bits; the bytes above `count` are OR-ed in again
// on the next refill, which is harmless because they are the same bytes.
inline void RefillFast(BitInput& in) {
  in.bits |= LoadLittleEndian64(in.next) << in.count;
  in.next += (63 - in.count) >> 3;
  in.count |= 56;
}

// At least 56 bits afterwards, the missing ones as counted zero padding.
inline void Refill(BitInput& in) {
  if (in.end - in.next >= 8) {
    RefillFast(in);
    return;
  }
  while (in.count < 56) {
    if (in.next < in.end) {
      in.bits |= uint64_t{*in.next++} << in.count;
    } else {
      ++in.padBytes;
    }
    in.count += 8;
  }
}

inline void Consume(BitInput& in, unsigned n) {
  in.bits >>= n;
  in.count -= n;
}

// True once a padding bit has been consumed, i.e. the stream needed a bit it lacks.
inline bool Overran(const BitInput& in) { return in.padBytes * 8 > in.count; }

inline uint32_t LowBits(uint64_t bits, unsigned n) { return uint32_t(bits) & ((1u << n) - 1); }

// For headers: at most 16 bits at a time.
inline bool ReadBits(BitInput& in, unsigned n, uint32_t& value) {
  if (in.count < n) Refill(in);
  value = LowBits(in.bits, n);
  Consume(in, n);
  return !Overran(in);
}

inline uint32_t Lookup(const uint32_t* table, int primaryBits, uint64_t bits) {
  uint32_t entry = table[LowBits(bits, unsigned(primaryBits))];
  if (entry & kLink) {
    entry = table[(entry >> 16) + LowBits(bits >> primaryBits, (entry >> 4) & 15)];
  }
  return entry;
}

inline unsigned CodeLength(uint32_t entry) { return entry & 15; }
inline unsigned ExtraBits(uint32_t entry) { return (entry >> 4) & 15; }

// ---------------------------------------------------------------------------------------
// Output: the caller's vector used as a buffer, grown on demand, never beyond the limit.
struct Output {
  std::vector<uint8_t>* bytes;
  size_t limit;
  uint8_t* begin;
  uint8_t* pos;
  uint8_t* end;  // never beyond begin + limit

  size_t Produced() const { return size_t(pos - begin); }
};

constexpr size_t kMinBuffer = 4096;

bool Grow(Output& out, size_t room) {
  const size_t produced = out.Produced();
  if (room > out.limit - produced) return false;
  const size_t size = size_t(out.end - out.begin);
  const size_t wanted = std::min(out.limit, std::max({produced + room, size * 2, kMinBuffer}));
  if (wanted > out.bytes->size()) {
    try {
      out.bytes->resize(wanted);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  out.begin = out.bytes->data();
  out.pos = out.begin + produced;
  out.end = out.begin + wanted;
  return true;
}

inline bool EnsureRoom(Output& out, size_t room) { return size_t(out.end - out.pos) >= room || Grow(out, room); }

// Copies a match in 8- or 16-byte steps; may write up to 15 bytes past its end.
inline void CopyMatchFast(uint8_t* dst, size_t distance, size_t length) {
  const uint8_t* src = dst - distance;
  uint8_t* const stop = dst + length;
  if (distance >= 16) {
    do {
      std::memcpy(dst, src, 16);
      dst += 16;
      src += 16;
    } while (dst < stop);
  } else if (distance >= 8) {
    do {
      std::memcpy(dst, src, 8);
      dst += 8;
      src += 8;
    } while (dst < stop);
  } else if (distance == 1) {
    std::memset(dst, *src, length);
  } else {
    // A short period: lay down its first 8 bytes, after which the bytes repeat every
    // multiple of the period that is at least 8, so whole words can be copied from there.
    for (int i = 0; i < 8; ++i) dst[i] = src[i];
    const size_t step = distance * ((8 + distance - 1) / distance);
    dst += 8;
    while (dst < stop) {
      std::memcpy(dst, dst - step, 8);
      dst += 8;
    }
  }
}

// Exact copy, byte by byte where source and destination overlap.
inline void CopyMatchExact(uint8_t* dst, size_t distance, size_t length) {
  const uint8_t* src = dst - distance;
  if (distance >= length) {
    std::memcpy(dst, src, length);
  } else {
    for (size_t i = 0; i < length; ++i) dst[i] = src[i];
  }
}

// ---------------------------------------------------------------------------------------
// Blocks.

enum class Step { kMore, kEndOfBlock, kFail };

// The fast loop runs while 16 input bytes remain (two refills per round) and the buffer
// has room for two literals and the longest match plus the over-copy of CopyMatchFast.
constexpr size_t kFastRoom = 2 + 258 + 16;

// No DEFLATE stream expands by more: a 258-byte match coded in two bits.
constexpr size_t kMaxExpansion = 1032;

// Decodes the match whose length symbol `entry` has just been looked up; needs 48 bits in
// the buffer, the most a length and a distance with their extra bits take.
template <bool kCareful>
inline Step DecodeMatch(uint32_t entry, BitInput& in, Output& out, const uint32_t* dist) {
  unsigned codeLength = CodeLength(entry);
  const size_t length = (entry >> 16) + LowBits(in.bits >> codeLength, ExtraBits(entry));
  Consume(in, codeLength + ExtraBits(entry));

  entry = Lookup(dist, kDistPrimaryBits, in.bits);
  if (!(entry & kLength)) return Step::kFail;
  codeLength = CodeLength(entry);
  const size_t distance = (entry >> 16) + LowBits(in.bits >> codeLength, ExtraBits(entry));
  Consume(in, codeLength + ExtraBits(entry));
  if constexpr (kCareful) {
    if (Overran(in)) return Step::kFail;
  }
  if (distance > out.Produced()) return Step::kFail;
  if constexpr (kCareful) {
    if (!EnsureRoom(out, length)) return Step::kFail;
    CopyMatchExact(out.pos, distance, length);
  } else {
    CopyMatchFast(out.pos, distance, length);
  }
  out.pos += length;
  return Step::kMore;
}

// The bulk of a block: no checks for the ends of input or output inside a round. After
// one refill there are at least 56 bits, enough for two literals (15 bits each) and the
// look-up of a third symbol; a match refills again before it is decoded.
inline Step DecodeFastLoop(BitInput& in, Output& out, const uint32_t* litLen, const uint32_t* dist) {
  while (in.end - in.next >= 16 && size_t(out.end - out.pos) >= kFastRoom) {
    RefillFast(in);
    uint32_t entry = Lookup(litLen, kLitLenPrimaryBits, in.bits);
    if (entry & kLiteral) {
      Consume(in, CodeLength(entry));
      *out.pos++ = uint8_t(entry >> 16);
      entry = Lookup(litLen, kLitLenPrimaryBits, in.bits);
      if (entry & kLiteral) {
        Consume(in, CodeLength(entry));
        *out.pos++ = uint8_t(entry >> 16);
        continue;
      }
      RefillFast(in);
    }
    if (!(entry & kLength)) {
      Consume(in, CodeLength(entry));
      return (entry & kEndOfBlock) ? Step::kEndOfBlock : Step::kFail;
    }
    const Step step = DecodeMatch<false>(entry, in, out, dist);
    if (step != Step::kMore) return step;
  }
  return Step::kMore;
}

// Works on local copies of the input and output state: output bytes may alias anything,
// so state reached through references would be stored and reloaded around every write.
Step DecodeFast(BitInput& input, Output& output, const uint32_t* litLen, const uint32_t* dist) {
  BitInput in = input;
  Output out = output;
  const Step step = DecodeFastLoop(in, out, litLen, dist);
  input = in;
  output = out;
  return step;
}

// One symbol near the end of the input or of the buffer: refills with counted padding,
// checks for overrun after each code, and grows the output exactly as needed.
Step DecodeCareful(BitInput& in, Output& out, const uint32_t* litLen, const uint32_t* dist) {
  Refill(in);
  const uint32_t entry = Lookup(litLen, kLitLenPrimaryBits, in.bits);
  if (entry & kLiteral) {
    Consume(in, CodeLength(entry));
    if (Overran(in) || !EnsureRoom(out, 1)) return Step::kFail;
    *out.pos++ = uint8_t(entry >> 16);
    return Step::kMore;
  }
  if (!(entry & kLength)) {
    Consume(in, CodeLength(entry));
    return (entry & kEndOfBlock) && !Overran(in) ? Step::kEndOfBlock : Step::kFail;
  }
  return DecodeMatch<true>(entry, in, out, dist);
}

bool InflateHuffmanBlock(BitInput& in, Output& out, const HuffmanTables& tables) {
  const uint32_t* litLen = tables.litLen.data();
  const uint32_t* dist = tables.dist.data();
  for (;;) {
    Step step = DecodeFast(in, out, litLen, dist);
    if (step == Step::kMore) step = DecodeCareful(in, out, litLen, dist);
    if (step != Step::kMore) return step == Step::kEndOfBlock;
  }
}

bool InflateStoredBlock(BitInput& in, Output& out) {
  Consume(in, in.count & 7);  // the rest of the current byte is padding
  uint32_t length;
  uint32_t complement;
  if (!ReadBits(in, 16, length) || !ReadBits(in, 16, complement)) return false;
  if ((length ^ 0xFFFF) != complement) return false;
  // Give back the whole bytes still buffered and copy straight from the input.
  in.next -= in.count / 8 - in.padBytes;
  in.bits = 0;
  in.count = 0;
  in.padBytes = 0;
  if (length > size_t(in.end - in.next) || !EnsureRoom(out, length)) return false;
  if (length != 0) std::memcpy(out.pos, in.next, length);
  out.pos += length;
  in.next += length;
  return true;
}

bool ReadDynamicTables(BitInput& in, HuffmanTables& tables) {
  uint32_t litCount;
  uint32_t distCount;
  uint32_t codeLengthCount;
  if (!ReadBits(in, 5, litCount) || !ReadBits(in, 5, distCount) || !ReadBits(in, 4, codeLengthCount)) {
    return false;
  }
  litCount += 257;
  distCount += 1;
  codeLengthCount += 4;

  std::array<uint8_t, kCodeLengthSymbols> codeLengthLengths{};
  for (uint32_t i = 0; i < codeLengthCount; ++i) {
    uint32_t length;
    if (!ReadBits(in, 3, length)) return false;
    codeLengthLengths[kCodeLengthOrder[i]] = uint8_t(length);
  }
  std::array<uint32_t, kCodeLengthTableSize> codeLengthTable;
  if (!BuildTable(codeLengthLengths, CodeLengthEntry, kCodeLengthPrimaryBits, codeLengthTable.data())) {
    return false;
  }

  // One sequence for both codes; a repeat may cross from one into the other.
  std::array<uint8_t, kLitLenSymbols + kDistSymbols> lengths{};
  const size_t total = litCount + distCount;
  size_t filled = 0;
  while (filled < total) {
    if (in.count < kCodeLengthPrimaryBits) Refill(in);
    const uint32_t entry = codeLengthTable[LowBits(in.bits, kCodeLengthPrimaryBits)];
    Consume(in, CodeLength(entry));
    if (!(entry & kLiteral) || Overran(in)) return false;
    const uint32_t symbol = entry >> 16;
    if (symbol < 16) {
      lengths[filled++] = uint8_t(symbol);
      continue;
    }
    uint8_t value = 0;
    uint32_t repeat;
    if (symbol == 16) {
      if (filled == 0) return false;
      value = lengths[filled - 1];
      if (!ReadBits(in, 2, repeat)) return false;
      repeat += 3;
    } else if (symbol == 17) {
      if (!ReadBits(in, 3, repeat)) return false;
      repeat += 3;
    } else {
      if (!ReadBits(in, 7, repeat)) return false;
      repeat += 11;
    }
    // A repeat running past the end is cut short there.
    const size_t n = std::min<size_t>(repeat, total - filled);
    std::fill_n(lengths.begin() + long(filled), n, value);
    filled += n;
  }
  const std::span<const uint8_t> all(lengths.data(), total);
  return BuildTable(all.first(litCount), LitLenEntry, kLitLenPrimaryBits, tables.litLen.data()) &&
         BuildTable(all.subspan(litCount), DistEntry, kDistPrimaryBits, tables.dist.data());
}

bool InflateBlocks(BitInput& in, Output& out) {
  HuffmanTables dynamic;
  for (;;) {
    uint32_t final;
    uint32_t type;
    if (!ReadBits(in, 1, final) || !ReadBits(in, 2, type)) return false;
    bool ok = false;
    if (type == 0) {
      ok = InflateStoredBlock(in, out);
    } else if (type == 1) {
      ok = InflateHuffmanBlock(in, out, FixedTables());
    } else if (type == 2) {
      ok = ReadDynamicTables(in, dynamic) && InflateHuffmanBlock(in, out, dynamic);
    }
    if (!ok) return false;
    if (final) return true;
  }
}

}  // namespace

bool InflateWithLimit(std::span<const uint8_t> stream, std::vector<uint8_t>& out, size_t reserveHint,
                      size_t maxOutput) {
  // The vector's current elements serve as scratch space, which spares zero-filling them
  // again; it always ends holding exactly what was produced.
  const size_t limit = std::min(maxOutput, kMaxInflatedSize);
  const bool hinted = reserveHint >= 1 && reserveHint <= kMaxInflatedSize;
  // A first guess at the size. With a hint it is the expected size (but no more than the
  // stream can expand to) plus the fast loop's room, so a buffer reused for equal tiles grows
  // by that room alone rather than being zero-filled up to a guess from the stream's length.
  // Without one, when capacity is already there (left by an earlier use) the guess stays
  // within it, so nothing is reallocated.
  size_t initial = std::min(stream.size(), limit) * 4 + kMinBuffer;
  if (hinted) initial = std::min(reserveHint, stream.size() * kMaxExpansion) + kFastRoom;
  try {
    if (hinted) out.reserve(reserveHint + kFastRoom);
    if (!hinted && out.capacity() > out.size()) initial = std::min(initial, out.capacity());
    initial = std::min(limit, std::max(initial, out.size()));
    if (initial > out.size()) out.resize(initial);
  } catch (const std::bad_alloc&) {
    out.clear();
    return false;
  }
  Output output{&out, limit, out.data(), out.data(), out.data() + initial};

  BitInput in{stream.data(), stream.data() + stream.size()};
  const bool ok = InflateBlocks(in, output);
  out.resize(output.Produced());
  return ok;
}

bool Inflate(std::span<const uint8_t> stream, std::vector<uint8_t>& out, size_t reserveHint) {
  return InflateWithLimit(stream, out, reserveHint, kMaxInflatedSize);
}

}  // namespace stv
