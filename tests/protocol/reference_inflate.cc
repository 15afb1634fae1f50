// The first, deliberately simple decoder, kept as the reference the fast one must match
// bit for bit: one bit at a time, canonical codes over per-length counts and symbols
// sorted by length, push_back output.
#include "protocol/reference_inflate.h"

#include "common/byte_order.h"
#include "protocol/tile_decompression.h"

#include <algorithm>
#include <array>

namespace stv::test {
namespace {

constexpr int kMaxCodeBits = 15;
constexpr int kMaxLitLenSymbols = 288;
constexpr int kMaxDistSymbols = 32;
constexpr int kCodeLengthSymbols = 19;
constexpr int kEndOfBlock = 256;
constexpr int kPaletteMaxEntries = 256;

// Base lengths and extra bits of length symbols 257..285.
constexpr std::array<uint16_t, 29> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// Base distances and extra bits of distance symbols 0..29.
constexpr std::array<uint16_t, 30> kDistBase = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> kDistExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic header lists the code-length code's lengths.
constexpr std::array<uint8_t, kCodeLengthSymbols> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

// Bits are taken least significant first from successive bytes; asking for a bit past
// the end of the input is a failure, wherever it happens.
struct BitReader {
  std::span<const uint8_t> input;
  size_t bytePos = 0;
  uint32_t buffer = 0;
  int count = 0;
};

bool ReadBits(BitReader& reader, int bits, uint32_t& value) {
  while (reader.count < bits) {
    if (reader.bytePos == reader.input.size()) return false;
    reader.buffer |= uint32_t{reader.input[reader.bytePos++]} << reader.count;
    reader.count += 8;
  }
  value = reader.buffer & ((uint32_t{1} << bits) - 1);
  reader.buffer >>= bits;
  reader.count -= bits;
  return true;
}

// A canonical Huffman code as the number of codes of each length and the symbols
// sorted by code length, then by symbol value.
struct HuffmanCode {
  std::array<uint16_t, kMaxCodeBits + 1> counts{};
  std::array<uint16_t, kMaxLitLenSymbols> symbols{};
};

// Fails only for an over-subscribed set; incomplete sets are accepted.
bool BuildCode(std::span<const uint8_t> lengths, HuffmanCode& code) {
  code.counts.fill(0);
  for (uint8_t length : lengths) ++code.counts[length];
  int left = 1;
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    left = left * 2 - code.counts[length];
    if (left < 0) return false;
  }
  std::array<uint16_t, kMaxCodeBits + 2> offsets{};
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    offsets[length + 1] = offsets[length] + code.counts[length];
  }
  for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
    if (lengths[symbol] != 0) code.symbols[offsets[lengths[symbol]]++] = uint16_t(symbol);
  }
  return true;
}

// One bit at a time: the codes of each length form a contiguous range starting at `first`.
bool DecodeSymbol(BitReader& reader, const HuffmanCode& code, int& symbol) {
  int value = 0;
  int first = 0;
  int index = 0;
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    uint32_t bit;
    if (!ReadBits(reader, 1, bit)) return false;
    value |= int(bit);
    const int count = code.counts[length];
    if (value - first < count) {
      symbol = code.symbols[index + value - first];
      return true;
    }
    index += count;
    first = (first + count) << 1;
    value <<= 1;
  }
  return false;
}

bool InflateStored(BitReader& reader, std::vector<uint8_t>& out, size_t maxOutput) {
  reader.buffer = 0;  // the rest of the current byte is padding
  reader.count = 0;
  uint32_t length;
  uint32_t complement;
  if (!ReadBits(reader, 16, length) || !ReadBits(reader, 16, complement)) return false;
  if ((length ^ 0xFFFF) != complement) return false;
  if (length > maxOutput - out.size()) return false;
  if (length > reader.input.size() - reader.bytePos) return false;
  const auto bytes = reader.input.subspan(reader.bytePos, length);
  out.insert(out.end(), bytes.begin(), bytes.end());
  reader.bytePos += length;
  return true;
}

bool InflateCodes(BitReader& reader, const HuffmanCode& litLen, const HuffmanCode& dist, std::vector<uint8_t>& out,
                  size_t maxOutput) {
  for (;;) {
    int symbol;
    if (!DecodeSymbol(reader, litLen, symbol)) return false;
    if (symbol < kEndOfBlock) {
      if (out.size() >= maxOutput) return false;
      out.push_back(uint8_t(symbol));
      continue;
    }
    if (symbol == kEndOfBlock) return true;
    const size_t lengthIndex = size_t(symbol - 257);
    if (lengthIndex >= kLengthBase.size()) return false;
    uint32_t extra;
    if (!ReadBits(reader, kLengthExtra[lengthIndex], extra)) return false;
    const size_t length = kLengthBase[lengthIndex] + extra;

    int distSymbol;
    if (!DecodeSymbol(reader, dist, distSymbol)) return false;
    if (size_t(distSymbol) >= kDistBase.size()) return false;
    if (!ReadBits(reader, kDistExtra[distSymbol], extra)) return false;
    const size_t distance = kDistBase[distSymbol] + extra;
    if (distance > out.size()) return false;
    if (length > maxOutput - out.size()) return false;
    // Byte by byte, so that a distance shorter than the length repeats recent bytes.
    size_t from = out.size() - distance;
    for (size_t i = 0; i < length; ++i) out.push_back(out[from + i]);
  }
}

void BuildFixedCodes(HuffmanCode& litLen, HuffmanCode& dist) {
  std::array<uint8_t, kMaxLitLenSymbols> lengths{};
  std::fill(lengths.begin(), lengths.begin() + 144, 8);
  std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
  std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
  std::fill(lengths.begin() + 280, lengths.end(), 8);
  BuildCode(lengths, litLen);
  std::array<uint8_t, 30> distLengths;
  distLengths.fill(5);
  BuildCode(distLengths, dist);
}

bool ReadDynamicCodes(BitReader& reader, HuffmanCode& litLen, HuffmanCode& dist) {
  uint32_t litCount;
  uint32_t distCount;
  uint32_t codeLengthCount;
  if (!ReadBits(reader, 5, litCount) || !ReadBits(reader, 5, distCount) || !ReadBits(reader, 4, codeLengthCount)) {
    return false;
  }
  litCount += 257;
  distCount += 1;
  codeLengthCount += 4;

  std::array<uint8_t, kCodeLengthSymbols> codeLengthLengths{};
  for (uint32_t i = 0; i < codeLengthCount; ++i) {
    uint32_t length;
    if (!ReadBits(reader, 3, length)) return false;
    codeLengthLengths[kCodeLengthOrder[i]] = uint8_t(length);
  }
  HuffmanCode codeLengthCode;
  if (!BuildCode(codeLengthLengths, codeLengthCode)) return false;

  // Literal/length and distance lengths form one sequence; repeats may cross between them.
  std::array<uint8_t, kMaxLitLenSymbols + kMaxDistSymbols> lengths{};
  const size_t total = litCount + distCount;
  size_t filled = 0;
  while (filled < total) {
    int symbol;
    if (!DecodeSymbol(reader, codeLengthCode, symbol)) return false;
    if (symbol < 16) {
      lengths[filled++] = uint8_t(symbol);
      continue;
    }
    uint8_t value = 0;
    uint32_t repeat;
    if (symbol == 16) {
      if (filled == 0) return false;
      value = lengths[filled - 1];
      if (!ReadBits(reader, 2, repeat)) return false;
      repeat += 3;
    } else if (symbol == 17) {
      if (!ReadBits(reader, 3, repeat)) return false;
      repeat += 3;
    } else {
      if (!ReadBits(reader, 7, repeat)) return false;
      repeat += 11;
    }
    // A repeat running past the end is cut short there.
    for (; repeat > 0 && filled < total; --repeat) lengths[filled++] = value;
  }
  const std::span<const uint8_t> all(lengths.data(), total);
  return BuildCode(all.first(litCount), litLen) && BuildCode(all.subspan(litCount), dist);
}

}  // namespace

uint32_t ReferenceAdler32(std::span<const uint8_t> bytes) {
  constexpr uint32_t kModulus = 65521;
  // The largest run whose sums cannot overflow 32 bits before reduction.
  constexpr size_t kBlock = 5552;
  uint32_t a = 1;
  uint32_t b = 0;
  while (!bytes.empty()) {
    const size_t n = std::min(bytes.size(), kBlock);
    for (uint8_t byte : bytes.first(n)) {
      a += byte;
      b += a;
    }
    a %= kModulus;
    b %= kModulus;
    bytes = bytes.subspan(n);
  }
  return (b << 16) | a;
}

bool ReferenceInflate(std::span<const uint8_t> stream, std::vector<uint8_t>& out, size_t reserveHint,
                      size_t maxOutput) {
  out.clear();
  if (reserveHint >= 1 && reserveHint <= kMaxInflatedSize) out.reserve(reserveHint);
  maxOutput = std::min(maxOutput, kMaxInflatedSize);
  BitReader reader{stream};
  for (;;) {
    uint32_t final;
    uint32_t type;
    if (!ReadBits(reader, 1, final) || !ReadBits(reader, 2, type)) return false;
    bool ok = false;
    if (type == 0) {
      ok = InflateStored(reader, out, maxOutput);
    } else if (type == 1) {
      HuffmanCode litLen;
      HuffmanCode dist;
      BuildFixedCodes(litLen, dist);
      ok = InflateCodes(reader, litLen, dist, out, maxOutput);
    } else if (type == 2) {
      HuffmanCode litLen;
      HuffmanCode dist;
      ok = ReadDynamicCodes(reader, litLen, dist) && InflateCodes(reader, litLen, dist, out, maxOutput);
    }
    if (!ok) return false;
    if (final) return true;
  }
}

bool ReferenceInflateZlib(std::span<const uint8_t> data, std::vector<uint8_t>& out, size_t reserveHint) {
  out.clear();
  if (data.size() < 6) return false;
  const uint32_t cmf = data[0];
  const uint32_t flg = data[1];
  if ((cmf & 0x0F) != 8 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20) != 0) return false;
  if (!ReferenceInflate(data.subspan(2, data.size() - 6), out, reserveHint, kMaxInflatedSize)) {
    return false;
  }
  return ReferenceAdler32(out) == ReadU32Be(data.data() + data.size() - 4);
}

bool ReferenceDecodePaletteTile(std::span<const uint8_t> data, int w, int h, std::vector<uint8_t>& out) {
  out.clear();
  if (w < 1 || h < 1) return false;
  const size_t pixels = size_t(w) * size_t(h);
  std::vector<uint8_t> decoded;
  if (!ReferenceInflateZlib(data, decoded, pixels + 2 + kPaletteMaxEntries * 4)) return false;
  if (decoded.size() < 2) return false;
  const size_t entries = size_t{decoded[0]} | size_t{decoded[1]} << 8;
  if (entries < 1 || entries > kPaletteMaxEntries) return false;
  const size_t indexOffset = 2 + 4 * entries;
  if (decoded.size() < indexOffset || decoded.size() - indexOffset < pixels) return false;
  out.resize(pixels * 4);
  const uint8_t* palette = decoded.data() + 2;
  const uint8_t* indexes = decoded.data() + indexOffset;
  for (size_t i = 0; i < pixels; ++i) {
    if (indexes[i] >= entries) return false;
    std::copy_n(palette + 4 * size_t{indexes[i]}, 4, out.data() + 4 * i);
  }
  return true;
}

}  // namespace stv::test
