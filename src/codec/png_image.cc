#include "codec/png_image.h"

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "codec/image_limits.h"

namespace stv::agent {
namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Ancillary chunks (text, ICC profiles) may not make libpng allocate more than this.
constexpr png_alloc_size_t kMaxChunkBytes = 8 * 1024 * 1024;
constexpr png_uint_32 kMaxSide = 65535;
// No single allocation of libpng's needs more: its rows are at most 65535 pixels of 8 bytes
// and its chunk buffers kMaxChunkBytes. A chunk whose length field is merely large (libpng
// only warns about it) would otherwise get a zero-filled buffer of that size, up to 2 GiB.
constexpr png_alloc_size_t kMaxLibraryAllocation = 16 * 1024 * 1024;

// libpng reports errors by longjmp. Every call into libpng happens in a step run by
// RunGuarded, the only function that calls setjmp; steps hold nothing but trivially
// destructible locals, so the jump never skips a destructor. Everything that owns memory
// lives in DecodePngTopLeft, outside the jump's reach.
using Step = void (*)(png_structp png, png_infop info, void* context);

bool RunGuarded(png_structp png, png_infop info, Step step, void* context) {
  if (setjmp(png_jmpbuf(png))) return false;
  step(png, info, context);
  return true;
}

[[noreturn]] void OnPngError(png_structp png, png_const_charp /*message*/) { png_longjmp(png, 1); }

void OnPngWarning(png_structp /*png*/, png_const_charp /*message*/) {}

png_voidp AllocateBounded(png_structp /*png*/, png_alloc_size_t size) {
  return size <= kMaxLibraryAllocation ? std::malloc(size) : nullptr;
}

void FreeBounded(png_structp /*png*/, png_voidp pointer) { std::free(pointer); }

struct MemorySource {
  const uint8_t* data;
  size_t size;
  size_t offset;
};

void ReadFromMemory(png_structp png, png_bytep target, size_t length) {
  auto* source = static_cast<MemorySource*>(png_get_io_ptr(png));
  if (length > source->size - source->offset) png_error(png, "image data is cut short");
  std::memcpy(target, source->data + source->offset, length);
  source->offset += length;
}

class PngReader {
 public:
  PngReader() {
    png_ = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, OnPngWarning, nullptr, AllocateBounded,
                                    FreeBounded);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
  }
  ~PngReader() {
    if (png_ != nullptr) png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr);
  }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  bool ok() const { return png_ != nullptr && info_ != nullptr; }
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

struct Header {
  png_uint_32 width;
  png_uint_32 height;
  int passes;
  size_t rowBytes;  // after the conversion to B, G, R, A
  int channels;     // likewise
  int bitDepth;     // likewise
};

void ReadHeader(png_structp png, png_infop info, void* context) {
  auto* header = static_cast<Header*>(context);
  png_read_info(png, info);
  header->width = png_get_image_width(png, info);
  header->height = png_get_image_height(png, info);
}

// Whatever the colour type and depth, the rows come out as 8-bit B, G, R, A.
void ConvertToBgra(png_structp png, png_infop info, void* context) {
  auto* header = static_cast<Header*>(context);
  const int colorType = png_get_color_type(png, info);
  const bool hasAlpha = (colorType & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  png_set_expand(png);  // palette to RGB, gray below 8 bits to 8, tRNS to an alpha channel
  png_set_scale_16(png);
  png_set_gray_to_rgb(png);
  png_set_bgr(png);
  if (!hasAlpha) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  header->passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  header->rowBytes = png_get_rowbytes(png, info);
  header->channels = png_get_channels(png, info);
  header->bitDepth = png_get_bit_depth(png, info);
}

struct RowJob {
  uint8_t* rows;  // keepRows rows of `stride` bytes, or one row reused for each
  size_t stride;
  png_uint_32 keepRows;
  png_uint_32 imageHeight;
  int passes;
  bool oneRow;  // non-interlaced and wider than wanted: copy out each row
  uint8_t* out;
  size_t outRowBytes;
};

void ReadRows(png_structp png, png_infop /*info*/, void* context) {
  const auto* job = static_cast<const RowJob*>(context);
  if (job->passes == 1) {
    // Rows below the wanted rectangle are never decoded.
    for (png_uint_32 row = 0; row < job->keepRows; ++row) {
      if (job->oneRow) {
        png_read_row(png, job->rows, nullptr);
        std::memcpy(job->out + row * job->outRowBytes, job->rows, job->outRowBytes);
      } else {
        png_read_row(png, job->rows + row * job->stride, nullptr);
      }
    }
    return;
  }
  // Each interlace pass spans the whole image; rows outside the rectangle are decoded
  // into nothing (a null row) so only the kept rows need memory.
  for (int pass = 0; pass < job->passes; ++pass) {
    for (png_uint_32 row = 0; row < job->imageHeight; ++row) {
      png_read_row(png, row < job->keepRows ? job->rows + row * job->stride : nullptr, nullptr);
    }
  }
}

}  // namespace

bool IsPng(std::span<const uint8_t> image) {
  return image.size() >= sizeof(kSignature) && std::memcmp(image.data(), kSignature, sizeof(kSignature)) == 0;
}

bool DecodePngTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  if (!IsPng(image) || !ImageSizeAllowed(width, height)) return false;
  PngReader reader;
  if (!reader.ok()) return false;
  png_structp png = reader.png();
  png_infop info = reader.info();
  MemorySource source{image.data(), image.size(), 0};
  png_set_read_fn(png, &source, ReadFromMemory);
  png_set_user_limits(png, kMaxSide, kMaxSide);
  png_set_chunk_malloc_max(png, kMaxChunkBytes);

  Header header{};
  if (!RunGuarded(png, info, ReadHeader, &header)) return false;
  if (header.width < static_cast<png_uint_32>(width) || header.height < static_cast<png_uint_32>(height) ||
      !ImageSizeAllowed(header.width, header.height)) {
    return false;
  }
  if (!RunGuarded(png, info, ConvertToBgra, &header)) return false;
  const size_t imageRowBytes = static_cast<size_t>(header.width) * 4;
  if (header.channels != 4 || header.bitDepth != 8 || header.rowBytes != imageRowBytes) {
    return false;
  }

  const size_t outRowBytes = static_cast<size_t>(width) * 4;
  out.resize(outRowBytes * static_cast<size_t>(height));
  RowJob job{nullptr,    imageRowBytes, static_cast<png_uint_32>(height), header.height, header.passes, false,
             out.data(), outRowBytes};
  std::unique_ptr<uint8_t[]> rows;
  if (header.passes == 1 && header.width == static_cast<png_uint_32>(width)) {
    job.rows = out.data();  // rows land straight in the output
  } else {
    const size_t rowCount = header.passes == 1 ? 1 : static_cast<size_t>(height);
    rows.reset(new (std::nothrow) uint8_t[rowCount * imageRowBytes]());
    if (!rows) return false;
    job.rows = rows.get();
    job.oneRow = header.passes == 1;
  }
  if (!RunGuarded(png, info, ReadRows, &job)) return false;
  if (header.passes != 1) {
    for (int row = 0; row < height; ++row) {
      std::memcpy(out.data() + static_cast<size_t>(row) * outRowBytes,
                  rows.get() + static_cast<size_t>(row) * imageRowBytes, outRowBytes);
    }
  }
  return true;
}

}  // namespace stv::agent
