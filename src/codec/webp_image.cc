#include "codec/webp_image.h"

#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "codec/image_limits.h"

namespace stv::agent {
namespace {

struct WebpDeleter {
  void operator()(uint8_t* data) const { WebPFree(data); }
};
using WebpBuffer = std::unique_ptr<uint8_t, WebpDeleter>;

}  // namespace

bool IsWebp(std::span<const uint8_t> image) {
  return image.size() >= 12 && std::memcmp(image.data(), "RIFF", 4) == 0 &&
         std::memcmp(image.data() + 8, "WEBP", 4) == 0;
}

bool DecodeWebpExact(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  // The header alone settles the size rule, so a mismatching image is never decoded
  // (and a hostile header never makes the library allocate a large picture).
  int imageWidth = 0;
  int imageHeight = 0;
  if (!WebPGetInfo(image.data(), image.size(), &imageWidth, &imageHeight)) return false;
  if (imageWidth != width || imageHeight != height) return false;

  WebpBuffer pixels(WebPDecodeBGRA(image.data(), image.size(), &imageWidth, &imageHeight));
  if (!pixels || imageWidth != width || imageHeight != height) return false;
  out.assign(pixels.get(), pixels.get() + ImageBytes(width, height));
  return true;
}

std::optional<std::vector<uint8_t>> EncodeWebpBgra(std::span<const uint8_t> pixels, int width, int height,
                                                   int quality) try {
  if (!ImageSizeAllowed(width, height) || pixels.size() < ImageBytes(width, height)) {
    return std::nullopt;
  }
  uint8_t* output = nullptr;
  const float factor = static_cast<float>(std::clamp(quality, 0, 100));
  const size_t size = WebPEncodeBGRA(pixels.data(), width, height, width * 4, factor, &output);
  WebpBuffer owned(output);
  if (size == 0 || !owned) return std::nullopt;
  return std::vector<uint8_t>(owned.get(), owned.get() + size);
} catch (const std::bad_alloc&) {
  return std::nullopt;
}

}  // namespace stv::agent
