#include "codec/jpeg_image.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "codec/image_limits.h"

namespace stv::agent {
namespace {

// A corrupt or truncated image is refused rather than painted half grey, and a progressive
// image cannot make the decoder loop over thousands of scans.
constexpr int kDecodeFlags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;

constexpr int kMaxJpegSide = 65500;  // the format's own limit

struct TjBufferDeleter {
  void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

// CMYK JPEGs (as written by Adobe software and ImageMagick) store inverted inks, so each
// channel times K over 255 gives the colour directly.
void CmykRowToBgra(const uint8_t* cmyk, uint8_t* bgra, int pixels) {
  for (int i = 0; i < pixels; ++i, cmyk += 4, bgra += 4) {
    const unsigned k = cmyk[3];
    bgra[0] = static_cast<uint8_t>((cmyk[2] * k + 127) / 255);
    bgra[1] = static_cast<uint8_t>((cmyk[1] * k + 127) / 255);
    bgra[2] = static_cast<uint8_t>((cmyk[0] * k + 127) / 255);
    bgra[3] = 255;
  }
}

}  // namespace

bool IsJpeg(std::span<const uint8_t> image) {
  return image.size() >= 3 && image[0] == 0xFF && image[1] == 0xD8 && image[2] == 0xFF;
}

std::unique_ptr<JpegDecoder> JpegDecoder::Create(unsigned long& failureCode) {
  errno = 0;
  tjhandle handle = tjInitDecompress();
  if (handle == nullptr) {
    failureCode = errno != 0 ? static_cast<unsigned long>(errno) : ENOMEM;
    return nullptr;
  }
  failureCode = 0;
  return std::unique_ptr<JpegDecoder>(new JpegDecoder(handle));
}

JpegDecoder::~JpegDecoder() { tjDestroy(handle_); }

bool JpegDecoder::DecodeTopLeft(std::span<const uint8_t> image, int width, int height,
                                std::vector<uint8_t>& out) {
  int imageWidth = 0;
  int imageHeight = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (tjDecompressHeader3(handle_, image.data(), image.size(), &imageWidth, &imageHeight,
                          &subsampling, &colorspace) != 0) {
    return false;
  }
  if (imageWidth < width || imageHeight < height) return false;
  if (!ImageSizeAllowed(imageWidth, imageHeight)) return false;
  const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;

  // The usual tile is exactly the image: decode straight into the output.
  if (imageWidth == width && imageHeight == height && !cmyk) {
    out.resize(ImageBytes(width, height));
    if (tjDecompress2(handle_, image.data(), image.size(), out.data(), width, width * 4, height,
                      TJPF_BGRA, kDecodeFlags) != 0) {
      return false;
    }
    return true;
  }

  // Otherwise decode the whole image (TurboJPEG cannot crop) and keep the top-left corner.
  // The buffer is left uninitialised: the decoder writes every byte before it is read.
  const size_t imageStride = static_cast<size_t>(imageWidth) * 4;
  std::unique_ptr<uint8_t[]> whole(new (std::nothrow)
                                       uint8_t[ImageBytes(imageWidth, imageHeight)]);
  if (!whole) return false;
  if (tjDecompress2(handle_, image.data(), image.size(), whole.get(), imageWidth,
                    static_cast<int>(imageStride), imageHeight, cmyk ? TJPF_CMYK : TJPF_BGRA,
                    kDecodeFlags) != 0) {
    return false;
  }
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  out.resize(rowBytes * static_cast<size_t>(height));
  for (int row = 0; row < height; ++row) {
    const uint8_t* source = whole.get() + static_cast<size_t>(row) * imageStride;
    uint8_t* target = out.data() + static_cast<size_t>(row) * rowBytes;
    if (cmyk) {
      CmykRowToBgra(source, target, width);
    } else {
      std::memcpy(target, source, rowBytes);
    }
  }
  return true;
}

JpegEncoder::~JpegEncoder() {
  if (handle_ != nullptr) tjDestroy(handle_);
}

std::vector<uint8_t> JpegEncoder::Encode(std::span<const uint8_t> pixels, int width, int height,
                                         int quality) {
  if (!ImageSizeAllowed(width, height) || pixels.size() < ImageBytes(width, height)) return {};
  if (width > kMaxJpegSide || height > kMaxJpegSide) return {};
  if (handle_ == nullptr) handle_ = tjInitCompress();
  if (handle_ == nullptr) return {};
  unsigned char* jpeg = nullptr;
  unsigned long jpegSize = 0;
  const int status = tjCompress2(handle_, pixels.data(), width, width * 4, height, TJPF_BGRA,
                                 &jpeg, &jpegSize, TJSAMP_420, std::clamp(quality, 1, 100), 0);
  std::unique_ptr<unsigned char, TjBufferDeleter> owned(jpeg);
  if (status != 0 || !owned || jpegSize == 0) return {};
  return std::vector<uint8_t>(owned.get(), owned.get() + jpegSize);
}

}  // namespace stv::agent
