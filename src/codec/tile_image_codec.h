// The exchangeable decoder of compressed image tiles (WebP, JPEG, PNG...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <vector>

namespace stv {

// Places a buffer 16 bytes past a 32-byte boundary. TurboJPEG writes output rows that start
// on a 32-byte boundary with non-temporal stores, which send a decoded tile around the cache
// just before the picture reads it back to paint it; off the boundary the tile stays cached.
template <typename T>
struct CacheResidentAllocator {
  using value_type = T;
  static constexpr size_t kBoundary = 32;
  static constexpr size_t kOffset = 16;

  CacheResidentAllocator() = default;
  template <typename U>
  CacheResidentAllocator(const CacheResidentAllocator<U>&) {}

  T* allocate(size_t n) {
    void* block = ::operator new (n * sizeof(T) + kOffset, std::align_val_t{kBoundary});
    return reinterpret_cast<T*>(static_cast<std::byte*>(block) + kOffset);
  }
  void deallocate(T* p, size_t) {
    ::operator delete (reinterpret_cast<std::byte*>(p) - kOffset, std::align_val_t{kBoundary});
  }
  template <typename U>
  bool operator==(const CacheResidentAllocator<U>&) const {
    return true;
  }
};

// Decoded tile pixels, as the codec leaves them for the picture to paint.
using TilePixels = std::vector<uint8_t, CacheResidentAllocator<uint8_t>>;

// Copies `rows` rows of `rowBytes` bytes, packed at `from`, to rows `stride` bytes apart.
inline void CopyRows(const uint8_t* from, size_t rowBytes, int rows, uint8_t* to, size_t stride) {
  if (rowBytes == stride) {  // full-width rows are one block
    std::memcpy(to, from, rowBytes * static_cast<size_t>(rows));
    return;
  }
  for (int row = 0; row < rows; ++row, from += rowBytes, to += stride) std::memcpy(to, from, rowBytes);
}

// Pixels in both directions are 32-bit B, G, R, A, rows top to bottom, no padding.
class TileImageCodec {
 public:
  virtual ~TileImageCodec() = default;

  // Not used by the viewer; kept so that an agent-side implementation fits the same interface.
  virtual std::vector<uint8_t> EncodeJpeg(std::span<const uint8_t> pixels, int width, int height, int quality) = 0;

  // Decodes `image` into at least width * height * 4 bytes of `out`. False on any failure.
  virtual bool Decode(std::span<const uint8_t> image, int width, int height, TilePixels& out) = 0;

  // Decodes `image` into the width x height rectangle at `target`, whose rows lie `stride`
  // bytes apart, such as a tile's place in the framebuffer; on failure `target` is left as it
  // was. Here through Decode and `scratch`; a codec overrides it where it can write the
  // rectangle without that copy.
  virtual bool DecodeInto(std::span<const uint8_t> image, int width, int height, uint8_t* target, size_t stride,
                          TilePixels& scratch) {
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    if (!Decode(image, width, height, scratch) || scratch.size() < rowBytes * static_cast<size_t>(height)) return false;
    CopyRows(scratch.data(), rowBytes, height, target, stride);
    return true;
  }

  // Not used by the viewer, like EncodeJpeg.
  virtual std::optional<std::vector<uint8_t>> EncodeWebp(std::span<const uint8_t> pixels, int width, int height,
                                                         int quality) = 0;
};

}  // namespace stv
