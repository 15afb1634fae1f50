// zlib-format decompression of tile payloads and the expansion of palette tiles.
// Our own decoder, with a hard output cap, so a hostile stream can never make it
// produce more than kMaxInflatedSize bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stv {

inline constexpr size_t kMaxInflatedSize = 268435456;  // 256 MiB

// Adler-32 of RFC 1950; the empty input gives 1.
uint32_t Adler32(std::span<const uint8_t> bytes);

// Decodes a raw DEFLATE stream into `out` (emptied first). A `reserveHint` from 1 to
// kMaxInflatedSize is the expected size: that capacity is reserved up front, and a reused
// `out` grows to it without zero-filling more. It never limits the output.
// On failure `out` may hold partial data.
bool Inflate(std::span<const uint8_t> stream, std::vector<uint8_t>& out, size_t reserveHint);

// Inflate with an output limit below kMaxInflatedSize (larger values mean kMaxInflatedSize):
// the same decoder, so that every path of the limit can be exercised without 256 MiB.
bool InflateWithLimit(std::span<const uint8_t> stream, std::vector<uint8_t>& out, size_t reserveHint, size_t maxOutput);

// Decodes a zlib stream (header, DEFLATE data, Adler-32 in the last four bytes).
bool InflateZlib(std::span<const uint8_t> data, std::vector<uint8_t>& out, size_t reserveHint);

// Decodes a palette tile payload of w x h pixels into w * h * 4 bytes of B, G, R, X pixels.
bool DecodePaletteTile(std::span<const uint8_t> data, int w, int h, std::vector<uint8_t>& out);

// The second half of that: checks an inflated palette tile (entry count, colours, `pixels`
// indexes) and expands it into `out`. Emptied on failure.
bool ExpandInflatedPaletteTile(std::span<const uint8_t> decoded, size_t pixels, std::vector<uint8_t>& out);

}  // namespace stv
