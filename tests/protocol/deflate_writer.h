// Hand-built DEFLATE and zlib streams for tests: exact control over every header field,
// code and bit, including streams that no real compressor would produce.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace stv::test {

class BitWriter {
 public:
  // `count` bits of `value`, least significant first, as DEFLATE packs header fields.
  void Bits(uint32_t value, int count);
  // A Huffman code: its most significant bit goes first.
  void Code(uint32_t code, int length);
  void AlignToByte();
  void Bytes(std::span<const uint8_t> bytes);
  // The stream so far, the last byte padded with zero bits.
  std::vector<uint8_t> Finish() const;

 private:
  std::vector<uint8_t> bytes_;
  int usedBits_ = 0;  // of the last byte, 0 when it is complete
};

// Canonical codes of RFC 1951 for the given lengths (0 = no code).
std::vector<uint32_t> CanonicalCodes(std::span<const uint8_t> lengths);

// Block header bits: BFINAL, then BTYPE.
void BlockHeader(BitWriter& writer, bool final, int type);

// Symbols of the fixed code (literal/length 0..287, distance 0..31).
void FixedLitLen(BitWriter& writer, int symbol);
void FixedDistance(BitWriter& writer, int symbol);
void FixedMatch(BitWriter& writer, int length, int distance);

// A dynamic block whose code-length code gives all 19 symbols 5 bits, so that each
// code-length symbol is written as its own value: streams can say anything, even
// what a compressor never would (a leading 16, a repeat past the end).
struct CodeLengthSymbol {
  int symbol;          // 0..18
  uint32_t extra = 0;  // repeat bits of 16, 17, 18
};
void DynamicHeader(BitWriter& writer, bool final, int litCount, int distCount,
                   std::span<const CodeLengthSymbol> sequence);

// The usual case: plain lengths, each written as one symbol 0..15.
struct DynamicCode {
  DynamicCode(std::vector<uint8_t> lit, std::vector<uint8_t> dist)
      : litLengths(std::move(lit)), distLengths(std::move(dist)) {}

  std::vector<uint8_t> litLengths;   // 257..288 entries
  std::vector<uint8_t> distLengths;  // 1..32 entries
  void WriteHeader(BitWriter& writer, bool final) const;
  void LitLen(BitWriter& writer, int symbol) const;
  void Distance(BitWriter& writer, int symbol) const;

 private:
  // Codes computed for the lengths as they were at the last use.
  mutable std::vector<uint8_t> codedLit_, codedDist_;
  mutable std::vector<uint32_t> litCodes_, distCodes_;
};

// A zlib stream around raw DEFLATE data: header 0x78 0x01 and the Adler-32 of `content`.
std::vector<uint8_t> WrapZlib(std::span<const uint8_t> deflate, std::span<const uint8_t> content);

// zlib's deflate; windowBits < 0 gives a raw DEFLATE stream.
std::vector<uint8_t> ZlibCompress(std::span<const uint8_t> data, int level, int strategy, int windowBits = 15,
                                  int memLevel = 8);

}  // namespace stv::test
