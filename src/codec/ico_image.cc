#include "codec/ico_image.h"

#include "codec/bmp_image.h"
#include "codec/png_image.h"
#include "common/byte_order.h"

namespace stv::agent {
namespace {

constexpr size_t kDirectoryHeaderBytes = 6;
constexpr size_t kEntryBytes = 16;

}  // namespace

bool IsIco(std::span<const uint8_t> image) {
  return image.size() >= kDirectoryHeaderBytes && ReadU16Le(image.data()) == 0 && ReadU16Le(image.data() + 2) == 1 &&
         ReadU16Le(image.data() + 4) != 0;
}

bool DecodeIcoTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  if (!IsIco(image)) return false;
  const size_t directoryEnd = kDirectoryHeaderBytes + kEntryBytes * ReadU16Le(image.data() + 4);
  if (image.size() < directoryEnd) return false;
  const uint8_t* entry = image.data() + kDirectoryHeaderBytes;
  const uint32_t bytes = ReadU32Le(entry + 8);
  const uint32_t offset = ReadU32Le(entry + 12);
  if (offset < directoryEnd || offset > image.size() || bytes > image.size() - offset) return false;
  const std::span<const uint8_t> first = image.subspan(offset, bytes);
  return IsPng(first) ? DecodePngTopLeft(first, width, height, out)
                      : DecodeIconBitmapTopLeft(first, width, height, out);
}

}  // namespace stv::agent
