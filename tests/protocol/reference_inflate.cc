// The first, deliberately simple decoder, kept as the reference the fast one must match bit
// for bit: one bit at a time, canonical codes as per-length counts and symbols sorted by
// length, push_back output, and length and distance ranges worked out rather than copied.
#include "protocol/reference_inflate.h"

#include <algorithm>
#include <array>

#include "common/byte_order.h"
#include "protocol/tile_decompression.h"

namespace stv::test {
namespace {

constexpr int kMaxCodeBits = 15;
constexpr size_t kPaletteMaxEntries = 256;

// Base value and extra bits of each length symbol from 257, or distance symbol from 0: after
// the first `flat` symbols, each `group` symbols take one more extra bit.
struct Range {
  uint32_t base;
  int extraBits;
};
std::vector<Range> Ranges(int count, uint32_t base, int flat, int group) {
  std::vector<Range> ranges;
  for (int i = 0; i < count; ++i) {
    const int extraBits = i < flat ? 0 : (i - flat) / group + 1;
    ranges.push_back({base, extraBits});
    base += 1u << extraBits;
  }
  return ranges;
}
const std::vector<Range> kLengths = [] {
  auto ranges = Ranges(28, 3, 8, 4);
  ranges.push_back({258, 0});  // 285: 258 has a symbol of its own
  return ranges;
}();
const std::vector<Range> kDistances = Ranges(30, 1, 4, 2);

// Bits least significant first; asking for a bit past the end of the input fails, wherever
// that happens.
struct BitReader {
  std::span<const uint8_t> input;
  size_t bit = 0;

  bool Read(int count, uint32_t& value) {
    if (size_t(count) > input.size() * 8 - bit) return false;
    value = 0;
    for (int i = 0; i < count; ++i, ++bit) value |= uint32_t(input[bit / 8] >> (bit % 8) & 1) << i;
    return true;
  }
};

struct HuffmanCode {
  std::array<int, kMaxCodeBits + 1> counts{};
  std::vector<int> symbols;  // by code length, then by value
};

// Fails only for an over-subscribed set; incomplete sets are accepted.
bool BuildCode(std::span<const uint8_t> lengths, HuffmanCode& code) {
  code = {};
  for (uint8_t length : lengths) ++code.counts[length];
  int left = 1;
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    left = left * 2 - code.counts[length];
    if (left < 0) return false;
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
      if (lengths[symbol] == length) code.symbols.push_back(int(symbol));
    }
  }
  return true;
}

// The codes of each length form a contiguous range starting at `first`.
bool DecodeSymbol(BitReader& reader, const HuffmanCode& code, int& symbol) {
  int value = 0;
  int first = 0;
  int index = 0;
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    uint32_t bit;
    if (!reader.Read(1, bit)) return false;
    value = value << 1 | int(bit);
    const int count = code.counts[length];
    if (value - first < count) {
      symbol = code.symbols[size_t(index + value - first)];
      return true;
    }
    index += count;
    first = (first + count) << 1;
  }
  return false;
}

bool InflateStored(BitReader& reader, std::vector<uint8_t>& out, size_t maxOutput) {
  reader.bit = (reader.bit + 7) / 8 * 8;  // the rest of the current byte is padding
  uint32_t length;
  uint32_t complement;
  if (!reader.Read(16, length) || !reader.Read(16, complement)) return false;
  if ((length ^ 0xFFFF) != complement || length > maxOutput - out.size()) return false;
  if (length > reader.input.size() - reader.bit / 8) return false;
  const auto bytes = reader.input.subspan(reader.bit / 8, length);
  out.insert(out.end(), bytes.begin(), bytes.end());
  reader.bit += 8 * length;
  return true;
}

// A length or distance: the symbol's range, then its extra bits.
bool ReadValue(BitReader& reader, const std::vector<Range>& ranges, int symbol, size_t& value) {
  if (symbol < 0 || size_t(symbol) >= ranges.size()) return false;
  uint32_t extra;
  if (!reader.Read(ranges[size_t(symbol)].extraBits, extra)) return false;
  value = ranges[size_t(symbol)].base + extra;
  return true;
}

bool InflateCodes(BitReader& reader, const HuffmanCode& litLen, const HuffmanCode& dist, std::vector<uint8_t>& out,
                  size_t maxOutput) {
  for (;;) {
    int symbol;
    if (!DecodeSymbol(reader, litLen, symbol)) return false;
    if (symbol == 256) return true;
    if (symbol < 256) {
      if (out.size() >= maxOutput) return false;
      out.push_back(uint8_t(symbol));
      continue;
    }
    size_t length;
    size_t distance;
    int distSymbol;
    if (!ReadValue(reader, kLengths, symbol - 257, length) || !DecodeSymbol(reader, dist, distSymbol) ||
        !ReadValue(reader, kDistances, distSymbol, distance)) {
      return false;
    }
    if (distance > out.size() || length > maxOutput - out.size()) return false;
    // Byte by byte, so that a distance shorter than the length repeats recent bytes.
    for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
  }
}

bool ReadDynamicCodes(BitReader& reader, HuffmanCode& litLen, HuffmanCode& dist) {
  // The order in which the header lists the code-length code's lengths.
  static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  uint32_t litCount;
  uint32_t distCount;
  uint32_t codeLengthCount;
  if (!reader.Read(5, litCount) || !reader.Read(5, distCount) || !reader.Read(4, codeLengthCount)) return false;
  std::array<uint8_t, 19> codeLengthLengths{};
  for (uint32_t i = 0; i < codeLengthCount + 4; ++i) {
    uint32_t length;
    if (!reader.Read(3, length)) return false;
    codeLengthLengths[kOrder[i]] = uint8_t(length);
  }
  HuffmanCode codeLengthCode;
  if (!BuildCode(codeLengthLengths, codeLengthCode)) return false;

  // Literal/length and distance lengths form one sequence; repeats may cross between them,
  // and one running past the end is cut short there.
  std::vector<uint8_t> lengths;
  const size_t total = litCount + 257 + distCount + 1;
  while (lengths.size() < total) {
    int symbol;
    if (!DecodeSymbol(reader, codeLengthCode, symbol)) return false;
    if (symbol < 16) {
      lengths.push_back(uint8_t(symbol));
      continue;
    }
    if (symbol == 16 && lengths.empty()) return false;
    const uint8_t value = symbol == 16 ? lengths.back() : 0;
    uint32_t repeat;
    if (!reader.Read(symbol == 16 ? 2 : symbol == 17 ? 3 : 7, repeat)) return false;
    for (repeat += symbol == 18 ? 11 : 3; repeat > 0 && lengths.size() < total; --repeat) lengths.push_back(value);
  }
  const std::span<const uint8_t> all(lengths);
  return BuildCode(all.first(litCount + 257), litLen) && BuildCode(all.subspan(litCount + 257), dist);
}

uint32_t ReferenceAdler32(std::span<const uint8_t> bytes) {
  uint32_t a = 1;
  uint32_t b = 0;
  for (uint8_t byte : bytes) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}

}  // namespace

bool ReferenceInflate(std::span<const uint8_t> stream, std::vector<uint8_t>& out, size_t reserveHint,
                      size_t maxOutput) {
  out.clear();
  if (reserveHint >= 1 && reserveHint <= kMaxInflatedSize) out.reserve(reserveHint);
  maxOutput = std::min(maxOutput, kMaxInflatedSize);
  BitReader reader{stream};
  for (;;) {
    uint32_t final;
    uint32_t type;
    if (!reader.Read(1, final) || !reader.Read(2, type)) return false;
    HuffmanCode litLen;
    HuffmanCode dist;
    bool ok = false;
    if (type == 0) {
      ok = InflateStored(reader, out, maxOutput);
    } else if (type == 1) {
      std::vector<uint8_t> lengths(288, 8);  // 0..143 and 280..287
      std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
      std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
      ok = BuildCode(lengths, litLen) && BuildCode(std::vector<uint8_t>(30, 5), dist) &&
           InflateCodes(reader, litLen, dist, out, maxOutput);
    } else if (type == 2) {
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
  if (!ReferenceInflate(data.subspan(2, data.size() - 6), out, reserveHint, kMaxInflatedSize)) return false;
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
  for (size_t i = 0; i < pixels; ++i) {
    const size_t index = decoded[indexOffset + i];
    if (index >= entries) return false;
    std::copy_n(decoded.data() + 2 + 4 * index, 4, out.data() + 4 * i);
  }
  return true;
}

}  // namespace stv::test
