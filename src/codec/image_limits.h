// Limits shared by the decoders of compressed tile images.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stv::agent {

// A tile image may describe any size its format allows (JPEG up to 65500 squared), while
// the decoded pixels must be held in memory, sometimes the whole image when only its
// top-left corner is wanted. Images above 64 megapixels (256 MiB of pixels, far more than
// a multi-monitor desktop) are refused rather than risk exhausting memory.
inline constexpr uint64_t kMaxImagePixels = uint64_t{8192} * 8192;

// Both sides at least 1 and width * height within kMaxImagePixels.
inline bool ImageSizeAllowed(int64_t width, int64_t height) {
  return width >= 1 && height >= 1 && width <= int64_t{1} << 31 && height <= int64_t{1} << 31 &&
         static_cast<uint64_t>(width * height) <= kMaxImagePixels;
}

// width * height * 4 for a size ImageSizeAllowed accepted.
inline size_t ImageBytes(int64_t width, int64_t height) {
  return static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
}

}  // namespace stv::agent
