// The exchangeable decoder of compressed image tiles (WebP, JPEG, PNG...).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace stv {

// Pixels in both directions are 32-bit B, G, R, A, rows top to bottom, no padding.
class TileImageCodec {
 public:
  virtual ~TileImageCodec() = default;

  // Not used by the viewer; kept so that an agent-side implementation fits the same interface.
  virtual std::vector<uint8_t> EncodeJpeg(std::span<const uint8_t> pixels, int width, int height,
                                          int quality) = 0;

  // Decodes `image` into at least width * height * 4 bytes of `out`. False on any failure.
  virtual bool Decode(std::span<const uint8_t> image, int width, int height,
                      std::vector<uint8_t>& out) = 0;

  // Not used by the viewer, like EncodeJpeg.
  virtual std::optional<std::vector<uint8_t>> EncodeWebp(std::span<const uint8_t> pixels, int width,
                                                         int height, int quality) = 0;
};

}  // namespace stv
