// Expansion of palette tile indexes into pixels, with the fastest method the machine
// supports. Internal to tile decompression; the methods are named so tests reach each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace stv {

inline constexpr size_t kPaletteMaxEntries = 256;

// Pixels in framebuffer byte order, as stored in the tile; unused entries are 0.
using PaletteColours = std::array<uint32_t, kPaletteMaxEntries>;

enum class PaletteMethod {
  kTable,        // one table load per pixel; any machine, any palette
  kShuffle,      // SSSE3 byte shuffles, up to 16 entries
  kWideShuffle,  // AVX2 byte shuffles, up to 64 entries
};

// Whether `method` can expand a palette of `entries` entries on this machine.
bool PaletteMethodAvailable(PaletteMethod method, size_t entries);

// Writes colours[indexes[i]] as pixel i (4 bytes) for i below `count`. Every index must be
// below `entries`, and `method` available for it.
void ExpandPaletteWith(PaletteMethod method, const uint8_t* indexes, size_t count, size_t entries,
                       const PaletteColours& colours, uint8_t* out);

// The same with the fastest available method.
void ExpandPalette(const uint8_t* indexes, size_t count, size_t entries, const PaletteColours& colours, uint8_t* out);

// The largest of `count` indexes (0 for none): one check for a whole tile.
uint8_t HighestIndex(const uint8_t* indexes, size_t count);

}  // namespace stv
