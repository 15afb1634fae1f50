#include "codec/tiff_image.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/image_limits.h"

namespace stv::agent {
namespace {

constexpr uint8_t kLittleEndian[4] = {'I', 'I', 42, 0};
constexpr uint8_t kBigEndian[4] = {'M', 'M', 0, 42};

// A strip or tile may hold the whole image, but no single allocation of libtiff's needs more
// than the 8-bit RGBA pixels of the largest image allowed; a small file that claims a huge
// strip is refused before the allocation.
constexpr tmsize_t kMaxLibraryAllocation = static_cast<tmsize_t>(kMaxImagePixels * 4);

struct MemoryFile {
  const uint8_t* data;
  toff_t size;
  toff_t offset;
};

tmsize_t ReadFromMemory(thandle_t handle, void* target, tmsize_t length) {
  auto* file = static_cast<MemoryFile*>(handle);
  if (length < 0) return -1;
  const toff_t count = std::min(static_cast<toff_t>(length), file->size - std::min(file->offset, file->size));
  if (count != 0) std::memcpy(target, file->data + file->offset, count);
  file->offset += count;
  return static_cast<tmsize_t>(count);
}

tmsize_t RefuseWrite(thandle_t /*handle*/, void* /*source*/, tmsize_t /*length*/) { return -1; }

toff_t SeekInMemory(thandle_t handle, toff_t offset, int whence) {
  auto* file = static_cast<MemoryFile*>(handle);
  const toff_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file->offset : file->size;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return static_cast<toff_t>(-1);
  file->offset = base + offset;  // past the end is allowed; reads there find nothing
  return file->offset;
}

int CloseMemory(thandle_t /*handle*/) { return 0; }

toff_t MemorySize(thandle_t handle) { return static_cast<MemoryFile*>(handle)->size; }

// The image is already in memory: libtiff reads strips and tiles in place, and checks each
// against the size before reading it. It never writes through a mapping opened for reading.
int MapMemory(thandle_t handle, void** base, toff_t* size) {
  auto* file = static_cast<MemoryFile*>(handle);
  *base = const_cast<uint8_t*>(file->data);
  *size = file->size;
  return 1;
}

void UnmapMemory(thandle_t /*handle*/, void* /*base*/, toff_t /*size*/) {}

// Damaged tiles are ordinary input: libtiff's messages would only fill the log.
int Silence(TIFF* /*tiff*/, void* /*userData*/, const char* /*module*/, const char* /*format*/, va_list /*args*/) {
  return 1;  // handled: the process-wide handlers stay quiet too
}

struct OptionsFree {
  void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};
struct TiffClose {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using Tiff = std::unique_ptr<TIFF, TiffClose>;

Tiff OpenInMemory(MemoryFile& file) {
  std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
  if (!options) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxLibraryAllocation);
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), Silence, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), Silence, nullptr);
  return Tiff(TIFFClientOpenExt("tile", "r", &file, ReadFromMemory, RefuseWrite, SeekInMemory, CloseMemory, MemorySize,
                                MapMemory, UnmapMemory, options.get()));
}

// libtiff's RGBA interface multiplies unassociated alpha into the colours. Declaring the
// alpha associated makes it pass every sample through as stored. True when the stored
// colours are multiplied by alpha, so that they must be divided out.
bool PassAlphaThrough(TIFF* tiff) {
  uint16_t count = 0;
  uint16_t* kinds = nullptr;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &count, &kinds) != 1 || count == 0) return false;
  if (kinds[0] == EXTRASAMPLE_ASSOCALPHA) return true;
  if (kinds[0] != EXTRASAMPLE_UNASSALPHA) return false;
  std::vector<uint16_t> passed(kinds, kinds + count);
  passed[0] = EXTRASAMPLE_ASSOCALPHA;
  TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, count, passed.data());
  return false;
}

// libtiff narrows 16-bit palette entries by dropping their low byte, ImageMagick by dividing
// them by 257 and rounding down: the two differ by one for many entries. Entries given back
// as multiples of 257 narrow alike either way. A palette of 8-bit entries, which libtiff
// takes as such, stays as it is.
void NarrowPaletteAsImageMagick(TIFF* tiff) {
  uint16_t photometric = 0, bits = 0;
  uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) != 1 || photometric != PHOTOMETRIC_PALETTE ||
      TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits) != 1 || bits > 16 ||
      TIFFGetField(tiff, TIFFTAG_COLORMAP, &red, &green, &blue) != 1) {
    return;
  }
  const size_t count = size_t{1} << bits;
  std::vector<uint16_t> narrowed;
  bool wide = false;  // libtiff's test for 16-bit entries
  for (const uint16_t* entries : {red, green, blue}) {
    for (size_t i = 0; i < count; ++i) {
      wide |= entries[i] > 255;
      narrowed.push_back(static_cast<uint16_t>(entries[i] / 257 * 257));
    }
  }
  if (!wide) return;
  TIFFSetField(tiff, TIFFTAG_COLORMAP, narrowed.data(), narrowed.data() + count, narrowed.data() + 2 * count);
}

// As ImageMagick divides: rounded down, at most 255, and 255 for any colour over alpha 0.
uint8_t Unassociate(uint32_t value, uint32_t alpha) {
  if (alpha == 0) return value == 0 ? 0 : 255;
  return static_cast<uint8_t>(std::min<uint32_t>(value * 255 / alpha, 255));
}

// libtiff packs each pixel as R | G << 8 | B << 16 | A << 24 in a native uint32.
uint8_t Sample(uint32_t packed, int shift) { return static_cast<uint8_t>(packed >> shift); }

// Rows of packed pixels to B, G, R, A rows `stride` bytes apart; in place when they coincide.
void PackedToBgra(const uint8_t* packed, int width, int height, bool associated, uint8_t* out, size_t stride) {
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  for (int y = 0; y < height; ++y, packed += rowBytes, out += stride) {
    for (size_t at = 0; at < rowBytes; at += 4) {  // separate loops: the common one vectorizes
      uint32_t pixel;
      std::memcpy(&pixel, packed + at, 4);
      const uint8_t bgra[4] = {Sample(pixel, 16), Sample(pixel, 8), Sample(pixel, 0), Sample(pixel, 24)};
      std::memcpy(out + at, bgra, 4);
    }
    if (!associated) continue;
    for (size_t at = 0; at < rowBytes; at += 4) {
      const uint8_t alpha = out[at + 3];
      for (int c = 0; alpha != 255 && c < 3; ++c) out[at + c] = Unassociate(out[at + c], alpha);
    }
  }
}

class RgbaReader {
 public:
  bool Begin(TIFF* tiff) {
    char message[1024];
    began_ = TIFFRGBAImageOK(tiff, message) == 1 && TIFFRGBAImageBegin(&image_, tiff, 1, message) == 1;
    image_.req_orientation = image_.orientation;  // rows as stored
    return began_;
  }
  ~RgbaReader() {
    if (began_) TIFFRGBAImageEnd(&image_);
  }

  bool Get(int width, int height, TilePixels& out) {
    return TIFFRGBAImageGet(&image_, reinterpret_cast<uint32_t*>(out.data()), width, height) == 1;
  }

 private:
  TIFFRGBAImage image_{};
  bool began_ = false;
};

}  // namespace

bool IsTiff(std::span<const uint8_t> image) {
  return image.size() >= 4 &&
         (std::memcmp(image.data(), kLittleEndian, 4) == 0 || std::memcmp(image.data(), kBigEndian, 4) == 0);
}

namespace {

// The rectangle as libtiff packs it, in `packed`.
bool DecodePacked(std::span<const uint8_t> image, int width, int height, TilePixels& packed, bool& associated) {
  if (!IsTiff(image) || !ImageSizeAllowed(width, height)) return false;
  MemoryFile file{image.data(), image.size(), 0};
  const Tiff tiff = OpenInMemory(file);
  if (!tiff) return false;
  uint32_t imageWidth = 0, imageHeight = 0;
  if (TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &imageWidth) != 1 ||
      TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &imageHeight) != 1 || imageWidth < uint32_t(width) ||
      imageHeight < uint32_t(height) || !ImageSizeAllowed(imageWidth, imageHeight)) {
    return false;
  }
  associated = PassAlphaThrough(tiff.get());
  NarrowPaletteAsImageMagick(tiff.get());
  RgbaReader reader;
  if (!reader.Begin(tiff.get())) return false;
  packed.resize(ImageBytes(width, height));  // a 16-byte aligned buffer, so whole uint32s
  return reader.Get(width, height, packed);
}

}  // namespace

bool DecodeTiffTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  bool associated = false;
  if (!DecodePacked(image, width, height, out, associated)) return false;
  PackedToBgra(out.data(), width, height, associated, out.data(), static_cast<size_t>(width) * 4);
  return true;
}

bool DecodeTiffInto(std::span<const uint8_t> image, int width, int height, uint8_t* target, size_t stride,
                    TilePixels& scratch) {
  bool associated = false;
  if (!DecodePacked(image, width, height, scratch, associated)) return false;
  PackedToBgra(scratch.data(), width, height, associated, target, stride);
  return true;
}

}  // namespace stv::agent
