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

// One image's decompressor. Each image gets a fresh one (creating it costs a few percent
// of decoding a 64x64 tile): a decompressor that has read earlier images keeps their
// quantisation and Huffman tables, so an image that leans on tables it does not carry
// would borrow the last tile's instead of failing as it does anywhere else.
class Decompressor {
 public:
  Decompressor() : handle_(tjInitDecompress()) {}
  ~Decompressor() {
    if (handle_ != nullptr) tjDestroy(handle_);
  }
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;
  tjhandle get() const { return handle_; }

 private:
  tjhandle handle_;
};

// An image of exactly width x height, not CMYK, decoded into `out`.
bool DecodeExact(tjhandle handle, std::span<const uint8_t> image, int width, int height,
                 std::vector<uint8_t>& out) {
  out.resize(ImageBytes(width, height));
  return tjDecompress2(handle, image.data(), image.size(), out.data(), width, width * 4, height, TJPF_BGRA,
                       kDecodeFlags) == 0;
}

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

bool IsStartOfFrame(uint8_t marker) {
  // C0-CF, except DHT (C4), JPG (C8) and DAC (CC).
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Three component specifications (id, sampling factors, table): the luma factors of one
// of TurboJPEG's layouts and full-size chroma.
bool IsStandardColourSampling(const uint8_t* components) {
  const uint8_t luma = components[1];
  const bool knownLuma = luma == 0x11 || luma == 0x21 || luma == 0x22 || luma == 0x12 || luma == 0x41;
  return knownLuma && components[4] == 0x11 && components[7] == 0x11;
}

}  // namespace

std::optional<JpegFrameInfo> ScanJpegFrame(std::span<const uint8_t> image) {
  if (image.size() < 2 || image[0] != 0xFF || image[1] != 0xD8) return std::nullopt;
  size_t at = 2;
  while (at + 4 <= image.size()) {
    if (image[at] != 0xFF) return std::nullopt;
    const uint8_t marker = image[at + 1];
    const size_t length = (size_t{image[at + 2]} << 8) | image[at + 3];
    if (marker == 0xFF || marker == 0xD8 || marker == 0xD9 || marker == 0xDA || length < 2) return std::nullopt;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) return std::nullopt;  // no length of their own
    if (IsStartOfFrame(marker)) {
      if (length < 8 || at + 2 + length > image.size()) return std::nullopt;
      const uint8_t* header = &image[at + 4];  // precision, height, width, components, then 3 bytes each
      JpegFrameInfo frame;
      frame.height = (header[1] << 8) | header[2];
      frame.width = (header[3] << 8) | header[4];
      if (frame.height == 0 || frame.width == 0) return std::nullopt;
      const int components = header[5];
      if (length != 8 + 3 * static_cast<size_t>(components)) return std::nullopt;
      frame.standardLayout = components == 1 || (components == 3 && IsStandardColourSampling(header + 6));
      return frame;
    }
    at += 2 + length;
  }
  return std::nullopt;
}

bool IsJpeg(std::span<const uint8_t> image) {
  return image.size() >= 3 && image[0] == 0xFF && image[1] == 0xD8 && image[2] == 0xFF;
}

std::unique_ptr<JpegDecoder> JpegDecoder::Create(unsigned long& failureCode) {
  errno = 0;
  const Decompressor probe;
  if (probe.get() == nullptr) {
    failureCode = errno != 0 ? static_cast<unsigned long>(errno) : ENOMEM;
    return nullptr;
  }
  failureCode = 0;
  return std::unique_ptr<JpegDecoder>(new JpegDecoder());
}

bool JpegDecoder::DecodeTopLeft(std::span<const uint8_t> image, int width, int height,
                                std::vector<uint8_t>& out) {
  const Decompressor decompressor;
  tjhandle handle = decompressor.get();
  if (handle == nullptr) return false;
  // The usual tile is exactly the image, in colour or grey: decode straight into the output.
  // Scanning for the frame header costs a few dozen byte reads, where TurboJPEG's header
  // call parses every table once more than the decode does (7% of a 64x64 tile). Images
  // that header call would refuse (layouts it cannot name) or treat otherwise (CMYK, other
  // sizes) take the path below.
  const std::optional<JpegFrameInfo> frame = ScanJpegFrame(image);
  if (frame && frame->standardLayout && frame->width == width && frame->height == height &&
      ImageSizeAllowed(width, height)) {
    return DecodeExact(handle, image, width, height, out);
  }
  int imageWidth = 0;
  int imageHeight = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (tjDecompressHeader3(handle, image.data(), image.size(), &imageWidth, &imageHeight,
                          &subsampling, &colorspace) != 0) {
    return false;
  }
  if (imageWidth < width || imageHeight < height) return false;
  if (!ImageSizeAllowed(imageWidth, imageHeight)) return false;
  const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;

  if (imageWidth == width && imageHeight == height && !cmyk) return DecodeExact(handle, image, width, height, out);

  // Otherwise decode the whole image (TurboJPEG cannot crop) and keep the top-left corner.
  // The buffer is left uninitialised: the decoder writes every byte before it is read.
  const size_t imageStride = static_cast<size_t>(imageWidth) * 4;
  std::unique_ptr<uint8_t[]> whole(new (std::nothrow)
                                       uint8_t[ImageBytes(imageWidth, imageHeight)]);
  if (!whole) return false;
  if (tjDecompress2(handle, image.data(), image.size(), whole.get(), imageWidth,
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
