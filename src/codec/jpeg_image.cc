#include "codec/jpeg_image.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "codec/image_limits.h"
#include "common/byte_order.h"

namespace stv::agent {
namespace {

// A corrupt or truncated image is refused rather than painted half grey, and a progressive
// image cannot make the decoder loop over thousands of scans.
constexpr int kDecodeFlags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;

constexpr int kMaxJpegSide = 65500;  // the format's own limit

// A decompressor for one image, for images that do not carry all their tables: a
// decompressor that has read earlier images keeps their quantisation and Huffman tables,
// so such an image would borrow the last tile's instead of failing (or falling back to the
// standard Huffman tables) as it does anywhere else.
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

// An image of exactly width x height, not CMYK, decoded into `out`. The output's placement
// keeps TurboJPEG's stores in the cache (see CacheResidentAllocator).
bool DecodeExact(tjhandle handle, std::span<const uint8_t> image, int width, int height, TilePixels& out) {
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

// The frames TurboJPEG decodes: sequential and progressive, Huffman or arithmetic coded.
bool IsStartOfFrame(uint8_t marker) {
  return marker == 0xC0 || marker == 0xC1 || marker == 0xC2 || marker == 0xC9 || marker == 0xCA;
}

// The markers that TurboJPEG's marker reader takes as a segment of the length it states and
// reads on from its end. It reads anything else another way: it skips a stuffed FF 00 and
// any bytes up to the next FF as stray data, fill bytes before a marker, and markers that
// have no length (TEM, RSTn); it refuses the frames it cannot decode and unknown markers.
bool IsLengthDelimitedSegment(uint8_t marker) {
  switch (marker) {
    case 0xC4:  // DHT
    case 0xCC:  // DAC
    case 0xDA:  // SOS
    case 0xDB:  // DQT
    case 0xDC:  // DNL
    case 0xDD:  // DRI
    case 0xFE:  // COM
      return true;
    default: return IsStartOfFrame(marker) || (marker >= 0xE0 && marker <= 0xEF);  // or APPn
  }
}

// Three component specifications (id, sampling factors, table): the luma factors of one
// of TurboJPEG's layouts and full-size chroma.
bool IsStandardColourSampling(const uint8_t* components) {
  const uint8_t luma = components[1];
  const bool knownLuma = luma == 0x11 || luma == 0x21 || luma == 0x22 || luma == 0x12 || luma == 0x41;
  return knownLuma && components[4] == 0x11 && components[7] == 0x11;
}

// The tables an image has defined so far, as the decoder's marker reader records them.
struct DefinedTables {
  bool quantisation[4] = {};
  bool huffman[2][4] = {};  // [DC, AC][table]
};

// The tables of one DQT segment: each is a precision/slot byte and 64 or 128 bytes.
bool RecordQuantisationTables(std::span<const uint8_t> body, DefinedTables& tables) {
  while (!body.empty()) {
    const int precision = body[0] >> 4;
    const int slot = body[0] & 0x0F;
    const size_t size = 1 + (precision == 0 ? 64 : 128);
    if (precision > 1 || slot > 3 || body.size() < size) return false;
    tables.quantisation[slot] = true;
    body = body.subspan(size);
  }
  return true;
}

// The tables of one DHT segment: each is a class/slot byte, 16 code counts and the values.
bool RecordHuffmanTables(std::span<const uint8_t> body, DefinedTables& tables) {
  while (!body.empty()) {
    if (body.size() < 17) return false;
    const int tableClass = body[0] >> 4;
    const int slot = body[0] & 0x0F;
    size_t values = 0;
    for (size_t i = 1; i <= 16; ++i) values += body[i];
    if (tableClass > 1 || slot > 3 || body.size() < 17 + values) return false;
    tables.huffman[tableClass][slot] = true;
    body = body.subspan(17 + values);
  }
  return true;
}

// Whether the first scan (the SOS segment's body) covers every component of the frame once
// and finds every table it and the frame name already defined.
bool ScanFindsItsTables(std::span<const uint8_t> scan, std::span<const uint8_t> frameComponents,
                        const DefinedTables& tables) {
  const size_t components = frameComponents.size() / 3;
  if (scan.empty() || scan[0] != components || scan.size() < 1 + 2 * components) return false;
  for (size_t c = 0; c < components; ++c) {
    const uint8_t quantisation = frameComponents[3 * c + 2];
    if (quantisation > 3 || !tables.quantisation[quantisation]) return false;
    const uint8_t id = scan[1 + 2 * c];
    const uint8_t dc = scan[2 + 2 * c] >> 4;
    const uint8_t ac = scan[2 + 2 * c] & 0x0F;
    bool inFrame = false;
    for (size_t f = 0; f < components; ++f) inFrame = inFrame || frameComponents[3 * f] == id;
    for (size_t earlier = 0; earlier < c; ++earlier) {
      if (scan[1 + 2 * earlier] == id) return false;
    }
    if (!inFrame || dc > 3 || ac > 3 || !tables.huffman[0][dc] || !tables.huffman[1][ac]) return false;
  }
  return true;
}

// Asks for the cache lines that hold a tile's tables. The marker walk below reads one
// segment to find the next, so where the tile has left the cache since it arrived, each
// segment would be a miss of its own, one after the other.
void PrefetchHeaders(std::span<const uint8_t> image) {
  constexpr size_t kHeaderBytes = 1024;  // TurboJPEG writes its tables in the first 600 or so
  const size_t bytes = std::min(image.size(), kHeaderBytes);
  for (size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(image.data() + offset);
}

}  // namespace

std::optional<JpegFrameInfo> ScanJpegFrame(std::span<const uint8_t> image) {
  if (image.size() < 2 || image[0] != 0xFF || image[1] != 0xD8) return std::nullopt;
  std::optional<JpegFrameInfo> frame;
  bool sequentialHuffman = false;
  std::span<const uint8_t> frameComponents;
  DefinedTables tables;
  size_t at = 2;
  // Only a walk from one segment straight to the next, which the decoder's marker reader
  // takes step by step: where that reader would go another way, the walk gives up.
  while (at + 4 <= image.size() && image[at] == 0xFF) {
    const uint8_t marker = image[at + 1];
    const size_t length = ReadU16Be(&image[at + 2]);
    if (!IsLengthDelimitedSegment(marker) || length < 2 || at + 2 + length > image.size()) break;
    const std::span<const uint8_t> body = image.subspan(at + 4, length - 2);
    if (marker == 0xDA) {  // where the decoder's header ends too
      if (frame) frame->carriesItsTables = sequentialHuffman && ScanFindsItsTables(body, frameComponents, tables);
      return frame;
    }
    if (IsStartOfFrame(marker)) {
      if (frame || length < 8) break;
      const uint8_t* header = body.data();  // precision, height, width, components, then 3 bytes each
      JpegFrameInfo found;
      found.height = ReadU16Be(header + 1);
      found.width = ReadU16Be(header + 3);
      if (found.height == 0 || found.width == 0) break;
      const int components = header[5];
      if (length != 8 + 3 * static_cast<size_t>(components)) break;
      found.standardLayout = components == 1 || (components == 3 && IsStandardColourSampling(header + 6));
      frame = found;
      sequentialHuffman = marker == 0xC0 || marker == 0xC1;
      frameComponents = body.subspan(6);
    } else if ((marker == 0xDB && !RecordQuantisationTables(body, tables)) ||
               (marker == 0xC4 && !RecordHuffmanTables(body, tables))) {
      break;
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
  tjhandle shared = tjInitDecompress();
  if (shared == nullptr) {
    failureCode = errno != 0 ? static_cast<unsigned long>(errno) : ENOMEM;
    return nullptr;
  }
  failureCode = 0;
  return std::unique_ptr<JpegDecoder>(new JpegDecoder(shared));
}

JpegDecoder::~JpegDecoder() {
  for (void* handle : idle_) tjDestroy(handle);
}

void* JpegDecoder::TakeHandle() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      void* handle = idle_.back();
      idle_.pop_back();
      return handle;
    }
  }
  return tjInitDecompress();
}

void JpegDecoder::ReturnHandle(void* handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.push_back(handle);
}

bool JpegDecoder::DecodeTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  // The usual tile is exactly the image, in colour or grey: decode straight into the output.
  // Scanning the headers costs a few dozen byte reads, where TurboJPEG's header call parses
  // every table once more than the decode does (7% of a 64x64 tile), and an image that
  // carries its tables needs no fresh decompressor (3%).
  PrefetchHeaders(image);
  const std::optional<JpegFrameInfo> frame = ScanJpegFrame(image);
  if (frame && frame->standardLayout && frame->width == width && frame->height == height &&
      ImageSizeAllowed(width, height)) {
    if (frame->carriesItsTables) {
      tjhandle handle = TakeHandle();
      if (handle == nullptr) return false;
      const bool decoded = DecodeExact(handle, image, width, height, out);
      ReturnHandle(handle);
      return decoded;
    }
    const Decompressor fresh;
    return fresh.get() != nullptr && DecodeExact(fresh.get(), image, width, height, out);
  }
  // Images that TurboJPEG's header call would refuse (layouts it cannot name) or treat
  // otherwise (CMYK, other sizes). A header call that fails leaves its decompressor halfway
  // through a header, so these never use the kept ones.
  const Decompressor decompressor;
  tjhandle handle = decompressor.get();
  if (handle == nullptr) return false;
  int imageWidth = 0;
  int imageHeight = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (tjDecompressHeader3(handle, image.data(), image.size(), &imageWidth, &imageHeight, &subsampling, &colorspace) !=
      0) {
    return false;
  }
  if (imageWidth < width || imageHeight < height) return false;
  if (!ImageSizeAllowed(imageWidth, imageHeight)) return false;
  const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;

  if (imageWidth == width && imageHeight == height && !cmyk) {
    return DecodeExact(handle, image, width, height, out);
  }

  // Otherwise decode the whole image (TurboJPEG cannot crop) and keep the top-left corner.
  // The buffer is left uninitialised: the decoder writes every byte before it is read.
  const size_t imageStride = static_cast<size_t>(imageWidth) * 4;
  std::unique_ptr<uint8_t[]> whole(new (std::nothrow) uint8_t[ImageBytes(imageWidth, imageHeight)]);
  if (!whole) return false;
  if (tjDecompress2(handle, image.data(), image.size(), whole.get(), imageWidth, static_cast<int>(imageStride),
                    imageHeight, cmyk ? TJPF_CMYK : TJPF_BGRA, kDecodeFlags) != 0) {
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

std::vector<uint8_t> JpegEncoder::Encode(std::span<const uint8_t> pixels, int width, int height, int quality) {
  if (!ImageSizeAllowed(width, height) || pixels.size() < ImageBytes(width, height)) return {};
  if (width > kMaxJpegSide || height > kMaxJpegSide) return {};
  if (handle_ == nullptr) handle_ = tjInitCompress();
  if (handle_ == nullptr) return {};
  unsigned char* jpeg = nullptr;
  unsigned long jpegSize = 0;
  const int status = tjCompress2(handle_, pixels.data(), width, width * 4, height, TJPF_BGRA, &jpeg, &jpegSize,
                                 TJSAMP_420, std::clamp(quality, 1, 100), 0);
  std::unique_ptr<unsigned char, TjBufferDeleter> owned(jpeg);
  if (status != 0 || !owned || jpegSize == 0) return {};
  return std::vector<uint8_t>(owned.get(), owned.get() + jpegSize);
}

}  // namespace stv::agent
