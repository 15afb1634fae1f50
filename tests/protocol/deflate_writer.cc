#include "protocol/deflate_writer.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <tuple>

namespace stv::test {

void BitWriter::Bits(uint32_t value, int count) {
  while (count > 0) {
    if (usedBits_ == 0) bytes_.push_back(0);
    const int n = std::min(count, 8 - usedBits_);
    bytes_.back() |= uint8_t((value & ((1u << n) - 1)) << usedBits_);
    value >>= n;
    count -= n;
    usedBits_ = (usedBits_ + n) % 8;
  }
}

void BitWriter::Code(uint32_t code, int length) {
  uint32_t reversed = 0;
  for (int i = 0; i < length; ++i) reversed |= ((code >> i) & 1) << (length - 1 - i);
  Bits(reversed, length);
}

void BitWriter::AlignToByte() { usedBits_ = 0; }

void BitWriter::Bytes(std::span<const uint8_t> bytes) {
  assert(usedBits_ == 0);
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> BitWriter::Finish() const { return bytes_; }

std::vector<uint32_t> CanonicalCodes(std::span<const uint8_t> lengths) {
  std::array<uint32_t, 17> count{};
  for (uint8_t length : lengths) ++count[length];
  count[0] = 0;
  std::array<uint32_t, 17> next{};
  for (int bits = 1; bits <= 16; ++bits) next[bits] = (next[bits - 1] + count[bits - 1]) << 1;
  std::vector<uint32_t> codes(lengths.size());
  for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
    if (lengths[symbol] != 0) codes[symbol] = next[lengths[symbol]]++;
  }
  return codes;
}

void BlockHeader(BitWriter& writer, bool final, int type) {
  writer.Bits(final ? 1 : 0, 1);
  writer.Bits(uint32_t(type), 2);
}

void FixedLitLen(BitWriter& writer, int symbol) {
  if (symbol < 144) {
    writer.Code(0x30 + symbol, 8);
  } else if (symbol < 256) {
    writer.Code(0x190 + symbol - 144, 9);
  } else if (symbol < 280) {
    writer.Code(symbol - 256, 7);
  } else {
    writer.Code(0xC0 + symbol - 280, 8);
  }
}

void FixedDistance(BitWriter& writer, int symbol) { writer.Code(uint32_t(symbol), 5); }

void FixedMatch(BitWriter& writer, int length, int distance) {
  // Symbol, extra value and extra bits: the first two groups of `group` symbols have no extra
  // bits, each later group one more (lengths from 3 in fours, distances from 1 in twos).
  auto split = [](int value, int base, int group) {
    for (int symbol = 0;; ++symbol) {
      const int bits = std::max(0, symbol / group - 1);
      if (value < base + (1 << bits)) return std::tuple{symbol, uint32_t(value - base), bits};
      base += 1 << bits;
    }
  };
  const auto [lenSymbol, lenExtra, lenBits] = length == 258 ? std::tuple{28, 0u, 0} : split(length, 3, 4);
  FixedLitLen(writer, 257 + lenSymbol);
  writer.Bits(lenExtra, lenBits);
  const auto [distSymbol, distExtra, distBits] = split(distance, 1, 2);
  FixedDistance(writer, distSymbol);
  writer.Bits(distExtra, distBits);
}

void DynamicHeader(BitWriter& writer, bool final, int litCount, int distCount,
                   std::span<const CodeLengthSymbol> sequence) {
  BlockHeader(writer, final, 2);
  writer.Bits(uint32_t(litCount - 257), 5);
  writer.Bits(uint32_t(distCount - 1), 5);
  writer.Bits(19 - 4, 4);
  for (int i = 0; i < 19; ++i) writer.Bits(5, 3);
  for (const CodeLengthSymbol& item : sequence) {
    writer.Code(uint32_t(item.symbol), 5);
    if (item.symbol == 16) writer.Bits(item.extra, 2);
    if (item.symbol == 17) writer.Bits(item.extra, 3);
    if (item.symbol == 18) writer.Bits(item.extra, 7);
  }
}

void DynamicCode::WriteHeader(BitWriter& writer, bool final) const {
  std::vector<CodeLengthSymbol> sequence;
  for (uint8_t length : litLengths) sequence.push_back({length});
  for (uint8_t length : distLengths) sequence.push_back({length});
  DynamicHeader(writer, final, int(litLengths.size()), int(distLengths.size()), sequence);
}

static void WriteSymbol(BitWriter& writer, const std::vector<uint8_t>& lengths, std::vector<uint8_t>& coded,
                        std::vector<uint32_t>& codes, int symbol) {
  if (coded != lengths) codes = CanonicalCodes(coded = lengths);
  writer.Code(codes[size_t(symbol)], lengths[size_t(symbol)]);
}

void DynamicCode::LitLen(BitWriter& writer, int symbol) const {
  WriteSymbol(writer, litLengths, codedLit_, litCodes_, symbol);
}

void DynamicCode::Distance(BitWriter& writer, int symbol) const {
  WriteSymbol(writer, distLengths, codedDist_, distCodes_, symbol);
}

std::vector<uint8_t> WrapZlib(std::span<const uint8_t> deflate, std::span<const uint8_t> content) {
  std::vector<uint8_t> out = {0x78, 0x01};
  out.insert(out.end(), deflate.begin(), deflate.end());
  const uLong sum = adler32_z(adler32(0, nullptr, 0), content.data(), content.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(sum >> shift));
  return out;
}

std::vector<uint8_t> ZlibCompress(std::span<const uint8_t> data, int level, int strategy, int windowBits,
                                  int memLevel) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, windowBits, memLevel, strategy) != Z_OK) return {};
  std::vector<uint8_t> out(deflateBound(&stream, data.size()) + 64);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = uInt(data.size());
  stream.next_out = out.data();
  stream.avail_out = uInt(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return result == Z_STREAM_END ? out : std::vector<uint8_t>{};
}

}  // namespace stv::test
