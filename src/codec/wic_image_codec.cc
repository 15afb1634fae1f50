#include "codec/wic_image_codec.h"

#include <wincodec.h>
#include <windows.h>

#include <utility>

#include "codec/image_codec.h"
#include "codec/image_limits.h"
#include "codec/webp_image.h"
#include "diag/log.h"

namespace stv::agent {
namespace {

void WarnUnavailable(unsigned long code) {
  Logger::Instance().Warn("[codec] WIC is unavailable (0x%08lX); photographic tiles will be sent losslessly instead",
                          code);
}

// Runs a COM call that hands back a new reference through its out parameter and holds it;
// null when the call fails (a failing call leaves nothing to release).
template <typename T, typename Call>
ComPtr<T> Take(Call call) {
  T* raw = nullptr;
  if (FAILED(call(&raw))) return nullptr;
  return ComPtr<T>(raw);
}

// One decode's objects. Members go in reverse order, so the converter lets go of the frame
// before the decoder and the stream under it are released.
struct WicPipeline {
  ComPtr<IWICStream> stream;
  ComPtr<IWICBitmapDecoder> decoder;
  ComPtr<IWICBitmapFrameDecode> frame;
  ComPtr<IWICFormatConverter> converter;
};

bool OpenStream(IWICImagingFactory& factory, std::span<const uint8_t> image, WicPipeline& pipeline) {
  if (image.size() > MAXDWORD) return false;
  pipeline.stream = Take<IWICStream>([&](IWICStream** stream) { return factory.CreateStream(stream); });
  // WIC only reads the bytes; the interface merely lacks the const.
  return pipeline.stream && SUCCEEDED(pipeline.stream->InitializeFromMemory(const_cast<BYTE*>(image.data()),
                                                                            static_cast<DWORD>(image.size())));
}

// Picks the container by content, takes its first frame and converts it to 32-bit BGRA.
bool OpenPipeline(IWICImagingFactory& factory, std::span<const uint8_t> image, WicPipeline& pipeline) {
  if (!OpenStream(factory, image, pipeline)) return false;
  pipeline.decoder = Take<IWICBitmapDecoder>([&](IWICBitmapDecoder** decoder) {
    return factory.CreateDecoderFromStream(pipeline.stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder);
  });
  if (!pipeline.decoder) return false;
  pipeline.frame =
      Take<IWICBitmapFrameDecode>([&](IWICBitmapFrameDecode** frame) { return pipeline.decoder->GetFrame(0, frame); });
  if (!pipeline.frame) return false;
  pipeline.converter = Take<IWICFormatConverter>(
      [&](IWICFormatConverter** converter) { return factory.CreateFormatConverter(converter); });
  return pipeline.converter &&
         SUCCEEDED(pipeline.converter->Initialize(pipeline.frame.get(), GUID_WICPixelFormat32bppBGRA,
                                                  WICBitmapDitherTypeNone, nullptr, 0.0, WICBitmapPaletteTypeCustom));
}

}  // namespace

StartedImageCodec StartImageCodec() {
  auto codec = std::make_unique<WicImageCodec>();
  const bool hasFactory = codec->HasFactory();
  return {std::move(codec), hasFactory};
}

WicImageCodec::WicImageCodec() {
  // RPC_E_CHANGED_MODE (the thread is in another apartment) is a failure, so it owes no
  // CoUninitialize; S_FALSE (already in this one) is a success that does.
  comInitialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  IWICImagingFactory* factory = nullptr;
  const HRESULT created = CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(created)) {
    WarnUnavailable(static_cast<unsigned long>(created));
    return;
  }
  factory_.reset(factory);
}

WicImageCodec::~WicImageCodec() {
  // The factory goes before the apartment it was made in.
  factory_.reset();
  if (comInitialized_) CoUninitialize();
}

bool WicImageCodec::Decode(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  return DecodeTile(image, width, height, out, [this](auto&&... args) {
    return factory_ && DecodeWithWic(std::forward<decltype(args)>(args)...);
  });
}

bool WicImageCodec::DecodeWithWic(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  // WIC takes the stride and the buffer size as 32-bit counts; the size limit keeps both
  // in range.
  if (!ImageSizeAllowed(width, height)) return false;
  WicPipeline pipeline;
  if (!OpenPipeline(*factory_, image, pipeline)) return false;
  out.resize(ImageBytes(width, height));
  // A source smaller than the rectangle fails the copy, which is how such a tile fails.
  const WICRect rect{0, 0, width, height};
  return SUCCEEDED(
      pipeline.converter->CopyPixels(&rect, static_cast<UINT>(width) * 4, static_cast<UINT>(out.size()), out.data()));
}

std::vector<uint8_t> WicImageCodec::EncodeJpeg(std::span<const uint8_t>, int, int, int) {
  // The viewer never encodes tiles; only the agent's side of the interface fills this slot.
  return {};
}

std::optional<std::vector<uint8_t>> WicImageCodec::EncodeWebp(std::span<const uint8_t> pixels, int width, int height,
                                                              int quality) {
  return EncodeWebpBgra(pixels, width, height, quality);
}

}  // namespace stv::agent
