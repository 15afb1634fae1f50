// The tile image codec of Windows: WebP through libwebp, every other container through the
// Windows Imaging Component, which picks the format by the data's content.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codec/tile_image_codec.h"

struct IWICImagingFactory;

namespace stv::agent {

// Drops the one reference a holder owns; for unique_ptr holders of COM objects.
struct ComRelease {
  template <typename T>
  void operator()(T* object) const {
    object->Release();
  }
};
template <typename T>
using ComPtr = std::unique_ptr<T, ComRelease>;

class WicImageCodec final : public TileImageCodec {
 public:
  // Joins the multithreaded apartment and creates the imaging factory. When the factory
  // cannot be created, a warning is logged and only WebP decodes; construction never fails.
  WicImageCodec();
  ~WicImageCodec() override;
  WicImageCodec(const WicImageCodec&) = delete;
  WicImageCodec& operator=(const WicImageCodec&) = delete;

  // Whether the imaging factory was created: without it only WebP decodes, and the
  // application lends the codec to no picture.
  bool HasFactory() const { return factory_ != nullptr; }

  std::vector<uint8_t> EncodeJpeg(std::span<const uint8_t> pixels, int width, int height, int quality) override;

  // WIC's formats may be larger than width x height and give their top-left corner; WebP
  // must match exactly (DecodeTile has the rules both codecs share).
  bool Decode(std::span<const uint8_t> image, int width, int height, TilePixels& out) override;

  std::optional<std::vector<uint8_t>> EncodeWebp(std::span<const uint8_t> pixels, int width, int height,
                                                 int quality) override;

 private:
  bool DecodeWithWic(std::span<const uint8_t> image, int width, int height, TilePixels& out);

  // Created once; COM's multithreaded apartment lets the decoding threads use it as it is.
  ComPtr<IWICImagingFactory> factory_;
  // CoInitializeEx succeeded here, so the destructor owes one CoUninitialize.
  bool comInitialized_ = false;
};

}  // namespace stv::agent
