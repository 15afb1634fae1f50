// The tile image codec of this platform: WebP through libwebp; JPEG (TurboJPEG), PNG (libpng),
// GIF (giflib), TIFF (libtiff), BMP and icons (our own readers) and JPEG XR (libjxr, in a
// process of its own) in the role of the system imaging component, picked by the data's
// signature.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/jxr_decoder_process.h"
#include "codec/tile_image_codec.h"

namespace stv::agent {

class JpegDecoder;
class JpegEncoder;

class SystemImageCodec final : public TileImageCodec {
 public:
  // Starts the JPEG and PNG decoders. When they cannot start, a warning is logged and only
  // WebP decodes; construction itself never fails.
  SystemImageCodec();
  // `startSystemDecoders` false builds the WebP-only codec on purpose (for tests), with the
  // same warning line. JPEG XR tiles go to the decoder program at `jxrDecoderPath`.
  explicit SystemImageCodec(bool startSystemDecoders, std::string jxrDecoderPath = DefaultJxrDecoderPath());
  ~SystemImageCodec() override;
  SystemImageCodec(const SystemImageCodec&) = delete;
  SystemImageCodec& operator=(const SystemImageCodec&) = delete;

  // True when formats other than WebP can be decoded; only then should a session picture
  // be given this codec.
  bool HasFactory() const { return jpegDecoder_ != nullptr; }

  std::vector<uint8_t> EncodeJpeg(std::span<const uint8_t> pixels, int width, int height, int quality) override;

  // WebP must be exactly width x height. JPEG and PNG may be larger, giving their top-left
  // rectangle, but not smaller. On success `out` holds exactly width * height * 4 bytes of
  // B, G, R, A; on failure it is empty (its capacity kept).
  bool Decode(std::span<const uint8_t> image, int width, int height, TilePixels& out) override;
  // BMP and TIFF write the rectangle without the copy through `scratch`.
  bool DecodeInto(std::span<const uint8_t> image, int width, int height, uint8_t* target, size_t stride,
                  TilePixels& scratch) override;

  std::optional<std::vector<uint8_t>> EncodeWebp(std::span<const uint8_t> pixels, int width, int height,
                                                 int quality) override;

 private:
  bool DecodeSystemFormat(std::span<const uint8_t> image, int width, int height, TilePixels& out);

  // Per codec rather than per call. Decoding may run on several threads at once; encoding
  // (the agent's) on one.
  std::unique_ptr<JpegDecoder> jpegDecoder_;
  std::unique_ptr<JpegEncoder> jpegEncoder_;
  std::mutex jxrMutex_;
  JxrDecoderProcess jxrDecoder_;
};

}  // namespace stv::agent
