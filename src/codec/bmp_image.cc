#include "codec/bmp_image.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "codec/image_limits.h"
#include "common/byte_order.h"

namespace stv::agent {
namespace {

// The values of the compression field this reader knows.
constexpr uint32_t kRgb = 0;
constexpr uint32_t kRle8 = 1;
constexpr uint32_t kRle4 = 2;
constexpr uint32_t kBitFields = 3;
constexpr uint32_t kAlphaBitFields = 6;

constexpr size_t kFileHeaderBytes = 14;
constexpr uint32_t kCoreHeaderBytes = 12;
constexpr uint32_t kInfoHeaderBytes = 40;
constexpr uint32_t kAlphaMaskHeaderBytes = 56;  // the first header that holds an alpha mask

bool KnownHeaderSize(uint32_t bytes) {
  return bytes == kCoreHeaderBytes || bytes == kInfoHeaderBytes || bytes == 52 || bytes == 56 || bytes == 108 ||
         bytes == 124;
}

// `bits` (1 to 8) bits widened to 8 by repeating them: abcde becomes abcdeabc.
uint8_t Widen(uint32_t value, int bits) {
  uint32_t repeated = 0;
  int length = 0;
  for (; length < 8; length += bits) repeated = repeated << bits | value;
  return static_cast<uint8_t>(repeated >> (length - 8));
}

using Bgra = std::array<uint8_t, 4>;

// Where alpha comes from, when the pixels themselves can give it.
enum class Alpha {
  kOpaque,
  kField,       // an alpha mask
  kFourthByte,  // 32 bits without masks: alpha, unless zero throughout (then opaque, or an icon's mask)
};

// What the headers say about the pixels.
struct Layout {
  int64_t width = 0;
  int64_t height = 0;  // rows of colour pixels; an icon's header counts its mask's rows too
  bool topDown = false;
  int bitsPerPixel = 0;
  uint32_t compression = kRgb;
  std::array<uint32_t, 4> masks{};  // red, green, blue, alpha
  Alpha alpha = Alpha::kOpaque;
  uint32_t paletteSize = 0;
  std::array<Bgra, 256> palette{};
  size_t tablesEnd = 0;  // past the header, the masks and the palette
  size_t stride = 0;     // bytes of an uncompressed row, a multiple of 4
};

bool SupportedCoding(const Layout& layout, bool core, bool icon) {
  const int bits = layout.bitsPerPixel;
  switch (layout.compression) {
    case kRgb: return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
    // Runs start at the bottom row; an icon's mask would have no known place after them.
    case kRle8: return bits == 8 && !layout.topDown && !icon;
    case kRle4: return bits == 4 && !layout.topDown && !icon;
    case kBitFields:
    case kAlphaBitFields: return (bits == 16 || bits == 32) && !core && !icon;
    default: return false;
  }
}

// Each mask one run of bits within the pixel.
bool MasksValid(const Layout& layout) {
  for (const uint32_t mask : layout.masks) {
    if (mask == 0) continue;
    const uint32_t run = mask >> std::countr_zero(mask);
    if ((run & (run + 1)) != 0 || (layout.bitsPerPixel == 16 && mask > 0xFFFF)) return false;
  }
  return true;
}

// The masks of bit fields: in the header from 52 bytes on, after a 40-byte one.
bool ReadMasks(std::span<const uint8_t> dib, uint32_t headerBytes, Layout& layout, size_t& offset) {
  size_t count = headerBytes >= kAlphaMaskHeaderBytes ? 4 : 3;
  if (headerBytes == kInfoHeaderBytes) {
    count = layout.compression == kAlphaBitFields ? 4 : 3;
    if (dib.size() - offset < count * 4) return false;
    offset += count * 4;
  }
  for (size_t i = 0; i < count; ++i) layout.masks[i] = ReadU32Le(dib.data() + kInfoHeaderBytes + 4 * i);
  layout.alpha = layout.masks[3] != 0 ? Alpha::kField : Alpha::kOpaque;
  return MasksValid(layout);
}

// The header, masks and palette at the start of `dib`, which runs to the end of the data.
bool ReadLayout(std::span<const uint8_t> dib, bool icon, Layout& layout) {
  if (dib.size() < 4) return false;
  const uint8_t* header = dib.data();
  const uint32_t headerBytes = ReadU32Le(header);
  if (!KnownHeaderSize(headerBytes) || dib.size() < headerBytes) return false;
  const bool core = headerBytes == kCoreHeaderBytes;
  int64_t height = 0;
  uint32_t planes = 0;
  uint64_t colorsUsed = 0;
  if (core) {
    layout.width = ReadU16Le(header + 4);
    height = ReadU16Le(header + 6);
    planes = ReadU16Le(header + 8);
    layout.bitsPerPixel = ReadU16Le(header + 10);
  } else {
    layout.width = static_cast<int32_t>(ReadU32Le(header + 4));
    height = static_cast<int32_t>(ReadU32Le(header + 8));
    planes = ReadU16Le(header + 12);
    layout.bitsPerPixel = ReadU16Le(header + 14);
    layout.compression = ReadU32Le(header + 16);
    colorsUsed = ReadU32Le(header + 32);
  }
  layout.topDown = height < 0;
  height = std::abs(height);
  if (icon) {
    if (layout.topDown || height % 2 != 0) return false;
    height /= 2;
  }
  layout.height = height;
  if (planes != 1 || !ImageSizeAllowed(layout.width, layout.height) || !SupportedCoding(layout, core, icon)) {
    return false;
  }
  layout.stride = (static_cast<size_t>(layout.width) * layout.bitsPerPixel + 31) / 32 * 4;

  size_t offset = headerBytes;
  if (layout.compression == kBitFields || layout.compression == kAlphaBitFields) {
    if (!ReadMasks(dib, headerBytes, layout, offset)) return false;
  } else if (layout.bitsPerPixel == 16) {
    layout.masks = {0x7C00, 0x03E0, 0x001F, 0};
  } else if (layout.bitsPerPixel == 32 && (headerBytes <= kInfoHeaderBytes || icon)) {
    // Later headers carry an alpha mask, which only bit fields use: for them the fourth byte
    // of an uncompressed pixel is padding.
    layout.alpha = Alpha::kFourthByte;
  }

  // Below 9 bits a palette of 2^bits colours unless the header says fewer; above, an
  // optional list of colours the pixels do not use.
  uint64_t entries = colorsUsed;
  if (layout.bitsPerPixel <= 8) {
    const uint32_t most = 1u << layout.bitsPerPixel;
    if (entries == 0) entries = most;
    if (entries > most) return false;
    layout.paletteSize = static_cast<uint32_t>(entries);
  }
  const size_t entryBytes = core ? 3 : 4;
  if (entries > (dib.size() - offset) / entryBytes) return false;
  for (uint32_t i = 0; i < layout.paletteSize; ++i) {
    const uint8_t* entry = header + offset + i * entryBytes;
    layout.palette[i] = {entry[0], entry[1], entry[2], 255};
  }
  layout.tablesEnd = offset + static_cast<size_t>(entries) * entryBytes;
  return true;
}

// A channel of 16- and 32-bit pixels: its top 8 bits at most, widened to 8 through a table.
struct Field {
  int shift = 0;
  uint32_t kept = 0;  // the kept bits, shifted down
  std::array<uint8_t, 256> to8{};

  Field(uint32_t mask, uint8_t absent) {
    to8[0] = absent;
    if (mask == 0) return;
    const int bits = std::popcount(mask);
    const int keptBits = std::min(bits, 8);
    shift = std::countr_zero(mask) + bits - keptBits;
    kept = (1u << keptBits) - 1;
    for (uint32_t value = 0; value <= kept; ++value) to8[value] = Widen(value, keptBits);
  }
  uint8_t operator()(uint32_t pixel) const { return to8[pixel >> shift & kept]; }
};

template <int kBits>
uint32_t IndexAt(const uint8_t* row, size_t x) {
  constexpr size_t kPerByte = 8 / kBits;
  return row[x / kPerByte] >> (8 - kBits * (x % kPerByte + 1)) & ((1u << kBits) - 1);
}

// Row converters: the first `count` pixels of a stored row to B, G, R, A; false on a palette
// index past the palette. Only a short palette needs the indices checked, in a pass of its own
// that leaves the copying loop free of it.
template <int kBits>
bool PaletteRow(const Layout& layout, const uint8_t* row, int count, uint8_t* out) {
  if (layout.paletteSize < (1u << kBits)) {
    uint32_t largest = 0;
    for (int x = 0; x < count; ++x) largest = std::max(largest, IndexAt<kBits>(row, x));
    if (largest >= layout.paletteSize) return false;
  }
  // A whole byte of indices at a time, then what is left of the last one.
  constexpr int kPerByte = 8 / kBits;
  int x = 0;
  for (; x + kPerByte <= count; x += kPerByte, ++row) {
    for (int i = 0; i < kPerByte; ++i) {
      std::memcpy(out + 4 * (x + i), layout.palette[IndexAt<kBits>(row, i)].data(), 4);
    }
  }
  for (int i = 0; x < count; ++x, ++i) std::memcpy(out + 4 * x, layout.palette[IndexAt<kBits>(row, i)].data(), 4);
  return true;
}

bool BgrRow(const uint8_t* row, int count, uint8_t* out) {
  // Four bytes at a time, the next pixel's first byte replaced by alpha; the last pixel
  // separately, as its fourth byte may lie past the data.
  uint8_t pixel[4];
  for (int x = 0; x + 1 < count; ++x) {
    std::memcpy(pixel, row + 3 * x, 4);
    pixel[3] = 255;
    std::memcpy(out + 4 * x, pixel, 4);
  }
  const int last = count - 1;
  out[4 * last] = row[3 * last], out[4 * last + 1] = row[3 * last + 1], out[4 * last + 2] = row[3 * last + 2];
  out[4 * last + 3] = 255;
  return true;
}

bool BgraRow(const uint8_t* row, int count, uint8_t* out) {
  std::memcpy(out, row, static_cast<size_t>(count) * 4);
  return true;
}

bool BgrxRow(const uint8_t* row, int count, uint8_t* out) {
  std::memcpy(out, row, static_cast<size_t>(count) * 4);
  for (int x = 0; x < count; ++x) out[4 * x + 3] = 255;
  return true;
}

template <int kBytes>
bool FieldRow(const std::array<Field, 4>& fields, const uint8_t* row, int count, uint8_t* out) {
  for (int x = 0; x < count; ++x, row += kBytes, out += 4) {
    const uint32_t pixel = kBytes == 2 ? ReadU16Le(row) : ReadU32Le(row);
    out[0] = fields[2](pixel), out[1] = fields[1](pixel), out[2] = fields[0](pixel), out[3] = fields[3](pixel);
  }
  return true;
}

// The wanted rows only: a bottom-up image stores its top row last.
template <typename ConvertRow>
bool ConvertRows(const Layout& layout, const uint8_t* pixels, int width, int height, uint8_t* out, size_t outStride,
                 ConvertRow convertRow) {
  for (int y = 0; y < height; ++y) {
    const size_t stored = static_cast<size_t>(layout.topDown ? y : layout.height - 1 - y);
    if (!convertRow(pixels + stored * layout.stride, width, out + y * outStride)) return false;
  }
  return true;
}

bool ConvertPixels(const Layout& layout, const uint8_t* pixels, int width, int height, uint8_t* out, size_t outStride) {
  auto rows = [&](auto convertRow) { return ConvertRows(layout, pixels, width, height, out, outStride, convertRow); };
  auto paletteRows = [&](auto convertRow) {
    return rows([&](const uint8_t* row, int count, uint8_t* to) { return convertRow(layout, row, count, to); });
  };
  switch (layout.bitsPerPixel) {
    case 1: return paletteRows(PaletteRow<1>);
    case 4: return paletteRows(PaletteRow<4>);
    case 8: return paletteRows(PaletteRow<8>);
    case 24: return rows(BgrRow);
    default: break;
  }
  constexpr std::array<uint32_t, 4> kBgra = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
  constexpr std::array<uint32_t, 4> kBgrx = {0xFF0000, 0xFF00, 0xFF, 0};
  if (layout.bitsPerPixel == 32 && (layout.compression == kRgb || layout.masks == kBgrx || layout.masks == kBgra)) {
    return rows(layout.alpha == Alpha::kOpaque ? BgrxRow : BgraRow);
  }
  const std::array<Field, 4> fields = {Field(layout.masks[0], 0), Field(layout.masks[1], 0), Field(layout.masks[2], 0),
                                       Field(layout.masks[3], 255)};
  auto fieldRows = [&](auto convertRow) {
    return rows([&](const uint8_t* row, int count, uint8_t* to) { return convertRow(fields, row, count, to); });
  };
  return layout.bitsPerPixel == 16 ? fieldRows(FieldRow<2>) : fieldRows(FieldRow<4>);
}

// Whether the fourth byte of every pixel is zero: in the decoded rectangle first, and only
// then in the whole image, so that a crop reads alpha as the whole image does.
bool FourthBytesZero(const Layout& layout, const uint8_t* pixels, std::span<const uint8_t> decoded) {
  for (size_t i = 3; i < decoded.size(); i += 4) {
    if (decoded[i] != 0) return false;
  }
  for (int64_t y = 0; y < layout.height; ++y) {
    const uint8_t* row = pixels + static_cast<size_t>(y) * layout.stride;
    for (int64_t x = 0; x < layout.width; ++x) {
      if (row[4 * x + 3] != 0) return false;
    }
  }
  return true;
}

void SetOpaque(std::span<uint8_t> decoded) {
  for (size_t i = 3; i < decoded.size(); i += 4) decoded[i] = 255;
}

// An icon's 1-bit mask, bottom-up, rows padded to 4 bytes: set bits are transparent.
void ApplyIconMask(const Layout& layout, const uint8_t* mask, int width, int height, uint8_t* out) {
  const size_t maskStride = (static_cast<size_t>(layout.width) + 31) / 32 * 4;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = mask + static_cast<size_t>(layout.height - 1 - y) * maskStride;
    for (int x = 0; x < width; ++x, out += 4) out[3] = (row[x / 8] >> (7 - x % 8) & 1) != 0 ? 0 : 255;
  }
}

// `pixels` copies of one colour, in doubling copies.
void Fill(uint8_t* out, size_t pixels, const Bgra& colour) {
  std::memcpy(out, colour.data(), 4);
  const size_t bytes = pixels * 4;
  for (size_t filled = 4; filled < bytes; filled *= 2) std::memcpy(out + filled, out, std::min(filled, bytes - filled));
}

// Run-length coded rows, bottom-up. Every run is read, those below the rectangle only to
// find where the next one starts; pixels the runs skip keep palette colour 0. Runs may cover
// the padding of an uncompressed row (some writers code the padded row) but go no further.
template <bool kFourBits>
bool DecodeRuns(const Layout& layout, std::span<const uint8_t> data, int width, int height, uint8_t* out) {
  Fill(out, static_cast<size_t>(width) * height, layout.palette[0]);
  // Both below 2^27 once ImageSizeAllowed has passed.
  const int rowEnd = static_cast<int>(layout.stride * 8 / layout.bitsPerPixel);
  const int imageHeight = static_cast<int>(layout.height);
  int x = 0;
  int y = 0;
  uint8_t* row = nullptr;  // the output row of stored row y, if it is in the rectangle
  int writable = 0;        // pixels of the row in the rectangle: width, or 0 without a row
  auto moveTo = [&](int newY) {
    y = newY;
    const int outY = imageHeight - 1 - y;
    row = outY >= 0 && outY < height ? out + static_cast<size_t>(outY) * width * 4 : nullptr;
    writable = row != nullptr ? width : 0;
  };
  moveTo(0);
  uint32_t largest = 0;
  const uint8_t* at = data.data();
  const uint8_t* const end = at + data.size();
  while (end - at >= 2) {
    const int count = at[0];
    const int code = at[1];
    at += 2;
    if (count > 0) {  // `count` pixels of one index, or for 4 bits of two alternating ones
      if (count > rowEnd - x || y >= imageHeight) return false;
      const int stop = std::min(x + count, writable);
      if constexpr (kFourBits) {
        const uint32_t first = code >> 4, second = code & 0xF;
        if (x < stop) largest = std::max({largest, first, stop - x > 1 ? second : 0});
        for (int i = 0; i < stop - x; ++i) {
          std::memcpy(row + 4 * (x + i), layout.palette[i % 2 ? second : first].data(), 4);
        }
      } else if (x < stop) {
        largest = std::max(largest, static_cast<uint32_t>(code));
        uint32_t colour;  // loaded once: the stores below might otherwise alias the palette
        std::memcpy(&colour, layout.palette[code].data(), 4);
        for (int i = x; i < stop; ++i) std::memcpy(row + 4 * i, &colour, 4);
      }
      x += count;
    } else if (code == 0) {  // end of line
      if (y >= imageHeight) return false;
      x = 0;
      moveTo(y + 1);
    } else if (code == 1) {  // end of image
      return largest < layout.paletteSize;
    } else if (code == 2) {  // move right and up
      if (end - at < 2 || at[0] > rowEnd - x || at[1] >= imageHeight - y) return false;
      x += at[0];
      moveTo(y + at[1]);
      at += 2;
    } else {  // `code` indices as they are, padded to 2 bytes
      const int bytes = kFourBits ? (code + 1) / 2 : code;
      if (end - at < bytes + bytes % 2 || code > rowEnd - x || y >= imageHeight) return false;
      for (int i = 0, stop = std::min(code, writable - x); i < stop; ++i) {
        const uint32_t index = kFourBits ? at[i / 2] >> (i % 2 ? 0 : 4) & 0xF : at[i];
        largest = std::max(largest, index);
        std::memcpy(row + 4 * (x + i), layout.palette[index].data(), 4);
      }
      x += code;
      at += bytes + bytes % 2;
    }
  }
  return false;  // no end of image
}

bool Runs(const Layout& layout) { return layout.compression == kRle8 || layout.compression == kRle4; }

// Whether the rectangle lies in the image and, uncompressed, the data holds every row (and an
// icon's mask).
bool PixelsPresent(const Layout& layout, std::span<const uint8_t> pixels, bool icon, int width, int height) {
  if (layout.width < width || layout.height < height) return false;
  if (Runs(layout)) return true;
  const size_t colourBytes = layout.stride * static_cast<size_t>(layout.height);
  const size_t maskBytes = icon ? (static_cast<size_t>(layout.width) + 31) / 32 * 4 * layout.height : 0;
  return pixels.size() >= colourBytes && pixels.size() - colourBytes >= maskBytes;
}

// Whether converting uncompressed rows, once begun, cannot fail nor need a second pass: no
// palette index to check, no alpha decided by the whole image.
bool ConvertsInOnePass(const Layout& layout) {
  return !Runs(layout) && layout.alpha != Alpha::kFourthByte &&
         (layout.bitsPerPixel > 8 || layout.paletteSize == 1u << layout.bitsPerPixel);
}

bool DecodeLaidOut(const Layout& layout, std::span<const uint8_t> pixels, bool icon, int width, int height,
                   TilePixels& out) {
  if (!PixelsPresent(layout, pixels, icon, width, height)) return false;
  out.resize(ImageBytes(width, height));
  if (Runs(layout)) {
    return layout.compression == kRle8 ? DecodeRuns<false>(layout, pixels, width, height, out.data())
                                       : DecodeRuns<true>(layout, pixels, width, height, out.data());
  }
  const size_t colourBytes = layout.stride * static_cast<size_t>(layout.height);
  if (!ConvertPixels(layout, pixels.data(), width, height, out.data(), static_cast<size_t>(width) * 4)) return false;
  const bool noAlpha = layout.alpha == Alpha::kFourthByte && FourthBytesZero(layout, pixels.data(), out);
  if (icon && (layout.bitsPerPixel < 32 || noAlpha)) {
    ApplyIconMask(layout, pixels.data() + colourBytes, width, height, out.data());
  } else if (noAlpha) {
    SetOpaque(out);
  }
  return true;
}

}  // namespace

bool IsBmp(std::span<const uint8_t> image) {
  return image.size() >= kFileHeaderBytes + 4 && image[0] == 'B' && image[1] == 'M';
}

namespace {

// The layout of a BMP file and its pixel data.
bool ReadBmpFile(std::span<const uint8_t> image, int width, int height, Layout& layout,
                 std::span<const uint8_t>& pixels) {
  if (!IsBmp(image) || !ImageSizeAllowed(width, height)) return false;
  if (!ReadLayout(image.subspan(kFileHeaderBytes), false, layout)) return false;
  const uint32_t pixelOffset = ReadU32Le(image.data() + 10);
  if (pixelOffset < kFileHeaderBytes + layout.tablesEnd || pixelOffset > image.size()) return false;
  pixels = image.subspan(pixelOffset);
  return true;
}

}  // namespace

bool DecodeBmpTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  Layout layout;
  std::span<const uint8_t> pixels;
  return ReadBmpFile(image, width, height, layout, pixels) && DecodeLaidOut(layout, pixels, false, width, height, out);
}

bool DecodeBmpInto(std::span<const uint8_t> image, int width, int height, uint8_t* target, size_t stride,
                   TilePixels& scratch) {
  Layout layout;
  std::span<const uint8_t> pixels;
  if (!ReadBmpFile(image, width, height, layout, pixels)) return false;
  if (ConvertsInOnePass(layout)) {
    return PixelsPresent(layout, pixels, false, width, height) &&
           ConvertPixels(layout, pixels.data(), width, height, target, stride);
  }
  if (!DecodeLaidOut(layout, pixels, false, width, height, scratch)) return false;
  CopyRows(scratch.data(), static_cast<size_t>(width) * 4, height, target, stride);
  return true;
}

bool DecodeIconBitmapTopLeft(std::span<const uint8_t> bitmap, int width, int height, TilePixels& out) {
  if (!ImageSizeAllowed(width, height)) return false;
  Layout layout;
  if (!ReadLayout(bitmap, true, layout)) return false;
  return DecodeLaidOut(layout, bitmap.subspan(layout.tablesEnd), true, width, height, out);
}

}  // namespace stv::agent
