#include "codec/system_image_codec.h"

#include <cerrno>
#include <mutex>
#include <new>
#include <utility>

#include "codec/bmp_image.h"
#include "codec/gif_image.h"
#include "codec/ico_image.h"
#include "codec/image_codec.h"
#include "codec/jpeg_image.h"
#include "codec/jxr_decoder_process.h"
#include "codec/png_image.h"
#include "codec/tiff_image.h"
#include "codec/webp_image.h"
#include "diag/log.h"

namespace stv::agent {
namespace {

void WarnUnavailable(unsigned long code) {
  Logger::Instance().Warn("[codec] WIC is unavailable (0x%08lX); photographic tiles will be sent losslessly instead",
                          code);
}

}  // namespace

StartedImageCodec StartImageCodec() {
  auto codec = std::make_unique<SystemImageCodec>();
  const bool hasFactory = codec->HasFactory();
  return {std::move(codec), hasFactory};
}

SystemImageCodec::SystemImageCodec() : SystemImageCodec(true) {}

SystemImageCodec::SystemImageCodec(bool startSystemDecoders, std::string jxrDecoderPath)
    : jpegEncoder_(std::make_unique<JpegEncoder>()), jxrDecoder_(std::move(jxrDecoderPath)) {
  unsigned long failureCode = ECANCELED;
  if (startSystemDecoders) jpegDecoder_ = JpegDecoder::Create(failureCode);
  if (!jpegDecoder_) WarnUnavailable(failureCode);
}

SystemImageCodec::~SystemImageCodec() = default;

bool SystemImageCodec::Decode(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  return DecodeTile(image, width, height, out, [this](auto&&... args) {
    return HasFactory() && DecodeSystemFormat(std::forward<decltype(args)>(args)...);
  });
}

bool SystemImageCodec::DecodeInto(std::span<const uint8_t> image, int width, int height, uint8_t* target, size_t stride,
                                  TilePixels& scratch) {
  const bool bmp = IsBmp(image);
  if (!HasFactory() || width < 1 || height < 1 || !(bmp || IsTiff(image))) {
    return TileImageCodec::DecodeInto(image, width, height, target, stride, scratch);
  }
  try {
    return bmp ? DecodeBmpInto(image, width, height, target, stride, scratch)
               : DecodeTiffInto(image, width, height, target, stride, scratch);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool SystemImageCodec::DecodeSystemFormat(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  if (IsJpeg(image)) return jpegDecoder_->DecodeTopLeft(image, width, height, out);
  if (IsPng(image)) return DecodePngTopLeft(image, width, height, out);
  if (IsBmp(image)) return DecodeBmpTopLeft(image, width, height, out);
  if (IsGif(image)) return DecodeGifTopLeft(image, width, height, out);
  if (IsTiff(image)) return DecodeTiffTopLeft(image, width, height, out);
  if (IsJxr(image)) {
    std::lock_guard<std::mutex> lock(jxrMutex_);  // one decoder process, one tile at a time
    return jxrDecoder_.Decode(image, width, height, out);
  }
  // Last: an icon's signature is four bytes that other data may start with too.
  if (IsIco(image)) return DecodeIcoTopLeft(image, width, height, out);
  return false;
}

std::vector<uint8_t> SystemImageCodec::EncodeJpeg(std::span<const uint8_t> pixels, int width, int height, int quality) {
  try {
    return jpegEncoder_->Encode(pixels, width, height, quality);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

std::optional<std::vector<uint8_t>> SystemImageCodec::EncodeWebp(std::span<const uint8_t> pixels, int width, int height,
                                                                 int quality) {
  return EncodeWebpBgra(pixels, width, height, quality);
}

}  // namespace stv::agent
