#include "codec/jxr_image.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "codec/image_limits.h"
#include "codec/jxr_decoder_process.h"

// libjxr's header defines min and max as macros, so it comes after every other header.
#include <JXRGlue.h>
#undef max
#undef min

namespace stv::agent {
namespace {

// libjxr ends its decoding contexts only once the last row is decoded, and its decoder's
// release leaves them be: a decode that failed half way would leak them, a megabyte a tile.
// A context whose row count never advanced is still open.
struct DecoderRelease {
  void operator()(PKImageDecode* decoder) const {
    if (decoder->WMP.DecoderCurrMBRow == 0 && decoder->WMP.ctxSC != nullptr) ImageStrDecTerm(decoder->WMP.ctxSC);
    if (decoder->WMP.DecoderCurrAlphaMBRow == 0 && decoder->WMP.ctxSC_Alpha != nullptr) {
      ImageStrDecTerm(decoder->WMP.ctxSC_Alpha);
    }
    decoder->Release(&decoder);
  }
};

// Tags of the container's directory that a tile may carry (pixel format, transformation,
// compression, image type, size, resolution, where the coded image and alpha lie and their
// discarded levels), no metadata: libjxr prints unknown tags to stderr and asserts on some
// metadata types, and its Debian build keeps the assertions, which would end the process.
constexpr uint16_t kPixelFormat = 0xBC01, kTransformation = 0xBC02, kImageOffset = 0xBCC0, kImageByteCount = 0xBCC1,
                   kAlphaOffset = 0xBCC2, kAlphaByteCount = 0xBCC3;
constexpr uint16_t kKnownTags[] = {kPixelFormat, kTransformation, 0xBC03, 0xBC04,       0xBC80,
                                   0xBC81,       0xBC82,          0xBC83, kImageOffset, kImageByteCount,
                                   kAlphaOffset, kAlphaByteCount, 0xBCC4, 0xBCC5};
constexpr uint32_t kTransformations = 8;  // libjxr asserts below that

uint32_t ReadLe(std::span<const uint8_t> bytes, size_t at, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[at + i];
  return value;
}

bool Inside(std::span<const uint8_t> image, uint64_t offset, uint64_t bytes) {
  return offset <= image.size() && bytes <= image.size() - offset;
}

// The coded image's signature, which libjxr finds with strstr, reading past its 8 bytes unless
// they end in 0; and the header's byte whose lowest bit declares an interleaved alpha channel.
// libjxr never frees the decoder of such a channel, tens of kilobytes for every image, so alpha
// is taken only as a separate plane.
constexpr char kCodedSignature[8] = "WMPHOTO";
constexpr size_t kCodedFlags = 10;
// The next byte gives the coded samples' colour format and depth. An alpha plane's must be
// 8-bit gray, as every accepted pixel format has it: libjxr would write wider samples, floats
// say, past the pixels' buffer.
constexpr size_t kCodedFormat = 11;
constexpr uint8_t kAlphaPlaneFormat = 0x01;

bool CodedHeaderSound(std::span<const uint8_t> image, uint64_t offset) {
  return Inside(image, offset, kCodedFlags + 1) &&
         std::memcmp(image.data() + offset, kCodedSignature, sizeof(kCodedSignature)) == 0 &&
         (image[offset + kCodedFlags] & 1) == 0;
}

// The directory lies inside the image, holds only known tags, and places the coded image inside
// the image too: libjxr's bitstream reader reads ahead past the coded data by design and ignores
// failed reads, so it cannot notice data cut short. A planar alpha's byte count is not checked,
// as libjxr's own encoder writes the file's size there; its header must lie inside.
bool ContainerSound(std::span<const uint8_t> image) {
  if (image.size() < 8) return false;
  const uint32_t directory = ReadLe(image, 4, 4);
  if (!Inside(image, directory, 2)) return false;
  const uint32_t entries = ReadLe(image, directory, 2);
  if (!Inside(image, uint64_t{directory} + 2, uint64_t{entries} * 12)) return false;
  uint32_t values[4] = {};  // image offset and byte count, alpha offset and byte count
  for (uint32_t i = 0; i < entries; ++i) {
    const size_t at = directory + 2 + size_t{i} * 12;
    const uint16_t tag = static_cast<uint16_t>(ReadLe(image, at, 2));
    const uint32_t value = ReadLe(image, at + 8, 4);
    if (std::ranges::find(kKnownTags, tag) == std::end(kKnownTags)) return false;
    if (tag == kTransformation && value >= kTransformations) return false;
    if (tag >= kImageOffset && tag <= kAlphaByteCount) values[tag - kImageOffset] = value;
  }
  return values[1] > kCodedFlags && Inside(image, values[0], values[1]) && CodedHeaderSound(image, values[0]) &&
         (values[2] == 0 || (CodedHeaderSound(image, values[2]) && Inside(image, values[2], kCodedFormat + 1) &&
                             image[values[2] + kCodedFormat] == kAlphaPlaneFormat));
}

// A stream over the tile. libjxr's own memory stream answers a read past the end with success
// and leaves the target as it was, so that decoding could depend on stale memory. This one
// fills what lies past the end with zeros and fails the read.
ERR ReadTile(WMPStream* stream, void* target, size_t count) {
  auto& tile = stream->state.buf;
  const size_t available = tile.cbCur < tile.cbBuf ? std::min(count, tile.cbBuf - tile.cbCur) : 0;
  if (available != 0) std::memcpy(target, tile.pbBuf + tile.cbCur, available);
  std::memset(static_cast<uint8_t*>(target) + available, 0, count - available);
  tile.cbCur += available;
  return available == count ? WMP_errSuccess : WMP_errFileIO;
}
ERR RefuseWrite(WMPStream* /*stream*/, const void* /*source*/, size_t /*count*/) { return WMP_errFileIO; }
ERR SetTilePosition(WMPStream* stream, size_t position) {
  stream->state.buf.cbCur = position;  // past the end too: the bitstream reader seeks there
  return WMP_errSuccess;
}
ERR GetTilePosition(WMPStream* stream, size_t* position) {
  *position = stream->state.buf.cbCur;
  return WMP_errSuccess;
}
Bool TileEnded(WMPStream* stream) { return stream->state.buf.cbCur >= stream->state.buf.cbBuf; }
ERR CloseTile(WMPStream** /*stream*/) { return WMP_errSuccess; }  // the decoder does not own it

WMPStream TileStream(std::span<const uint8_t> image) {
  WMPStream stream{};
  stream.state.buf.pbBuf = const_cast<uint8_t*>(image.data());  // only ever read
  stream.state.buf.cbBuf = image.size();
  stream.fMem = TRUE;
  stream.Close = CloseTile;
  stream.EOS = TileEnded;
  stream.Read = ReadTile;
  stream.Write = RefuseWrite;
  stream.SetPos = SetTilePosition;
  stream.GetPos = GetTilePosition;
  return stream;
}

// Where a decoded pixel keeps each colour; no alpha byte means opaque.
struct Layout {
  const PKPixelFormatGUID* format;
  int bytes;
  int blue, green, red, alpha;
};

// libjxr's format converter cannot reach 32bppBGRA from most of these (24bppBGR, the
// encoder's usual choice, included), so the pixels are rearranged here instead.
constexpr int kOpaque = -1;
const Layout kLayouts[] = {
    {&GUID_PKPixelFormat24bppBGR, 3, 0, 1, 2, kOpaque}, {&GUID_PKPixelFormat24bppRGB, 3, 2, 1, 0, kOpaque},
    {&GUID_PKPixelFormat32bppBGR, 4, 0, 1, 2, kOpaque}, {&GUID_PKPixelFormat32bppRGB, 4, 2, 1, 0, kOpaque},
    {&GUID_PKPixelFormat32bppBGRA, 4, 0, 1, 2, 3},      {&GUID_PKPixelFormat32bppRGBA, 4, 2, 1, 0, 3},
    {&GUID_PKPixelFormat8bppGray, 1, 0, 0, 0, kOpaque},
};

const Layout* FindLayout(const PKPixelFormatGUID& format) {
  for (const Layout& layout : kLayouts) {
    if (std::memcmp(layout.format, &format, sizeof(format)) == 0) return &layout;
  }
  return nullptr;
}

void ToBgra(const uint8_t* pixels, size_t stride, const Layout& layout, int width, int height, TilePixels& out) {
  uint8_t* target = out.data();
  for (int y = 0; y < height; ++y) {
    const uint8_t* source = pixels + static_cast<size_t>(y) * stride;
    for (int x = 0; x < width; ++x, source += layout.bytes, target += 4) {
      target[0] = source[layout.blue];
      target[1] = source[layout.green];
      target[2] = source[layout.red];
      target[3] = layout.alpha == kOpaque ? 255 : source[layout.alpha];
    }
  }
}

// The glue decoder leaves the output's description to its caller: without it, alpha, among
// others, is not decoded. Set as libjxr's own decoder tool sets it for a whole-image decode
// in the file's pixel format. Like that tool, and like the TIFF decoder, rows come as coded:
// the container's orientation is not applied. The coded image must declare the container's
// pixel format: libjxr trusts it to index its tables.
bool DescribeWholeImageOutput(PKImageDecode& decoder) {
  PKPixelInfo info{};
  info.pGUIDPixFmt = &decoder.guidPixFormat;
  CWMImageInfo& image = decoder.WMP.wmiI;
  if (Failed(PixelFormatLookup(&info, LOOKUP_FORWARD)) || image.cfColorFormat != info.cfColorFormat ||
      image.bdBitDepth != info.bdBitDepth || image.cBitsPerUnit != info.cbitUnit) {
    return false;
  }
  decoder.WMP.wmiSCP.bfBitstreamFormat = SPATIAL;
  decoder.WMP.wmiSCP.uAlphaMode = (info.grBit & PK_pixfmtHasAlpha) != 0 ? 2 : 0;  // colour and alpha
  decoder.WMP.wmiSCP.sbSubband = SB_ALL;
  decoder.WMP.bIgnoreOverlap = FALSE;
  image.cThumbnailWidth = image.cWidth;
  image.cThumbnailHeight = image.cHeight;
  image.bSkipFlexbits = FALSE;
  image.cROILeftX = 0;
  image.cROITopY = 0;
  image.cROIWidth = image.cWidth;
  image.cROIHeight = image.cHeight;
  image.oOrientation = O_NONE;
  image.cPostProcStrength = 0;
  return true;
}

}  // namespace

bool DecodeJxrTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  if (!IsJxr(image) || !ImageSizeAllowed(width, height)) return false;
  if (!ContainerSound(image)) return false;
  WMPStream stream = TileStream(image);
  PKImageDecode* rawDecoder = nullptr;
  if (Failed(PKImageDecode_Create_WMP(&rawDecoder))) return false;
  const std::unique_ptr<PKImageDecode, DecoderRelease> decoder(rawDecoder);
  if (Failed(decoder->Initialize(decoder.get(), &stream))) return false;

  I32 imageWidth = 0, imageHeight = 0;
  PKPixelFormatGUID format;
  if (Failed(decoder->GetSize(decoder.get(), &imageWidth, &imageHeight)) || imageWidth < width ||
      imageHeight < height || !ImageSizeAllowed(imageWidth, imageHeight) ||
      Failed(decoder->GetPixelFormat(decoder.get(), &format))) {
    return false;
  }
  const Layout* layout = FindLayout(format);
  if (layout == nullptr || !DescribeWholeImageOutput(*decoder)) return false;
  // libjxr writes whole rows of the image whatever the rectangle asked for: decode it all.
  const size_t stride = static_cast<size_t>(imageWidth) * layout->bytes;
  std::unique_ptr<uint8_t[]> pixels(new (std::nothrow) uint8_t[stride * imageHeight]);
  const PKRect whole{0, 0, imageWidth, imageHeight};
  if (!pixels || Failed(decoder->Copy(decoder.get(), &whole, pixels.get(), static_cast<U32>(stride)))) return false;
  out.resize(ImageBytes(width, height));
  ToBgra(pixels.get(), stride, *layout, width, height, out);
  return true;
}

}  // namespace stv::agent
