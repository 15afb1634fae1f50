// The tile image codec on arbitrary data. Input: the tile's width and height (1 to 64,
// one byte each), then the image.
//
// Wherever the frame header scan finds a frame, TurboJPEG's own header call reads that frame
// too, the same size, or refuses the image. A JPEG whose scan lets the codec skip that call
// must come out exactly as through it: the same acceptance and the same pixels. And since the
// codec lives across inputs, as it does across a session's tiles, every JPEG must also come
// out as from a codec that has read nothing before: images that share a decompressor must
// not lean on what earlier images left in it.
#include <turbojpeg.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/jpeg_image.h"
#include "codec/system_image_codec.h"

namespace {

struct Header {
  bool accepted = false;
  int width = 0;  // 0 when the call accepts a stream of tables without a frame
  int height = 0;
};

Header ReadHeader(tjhandle handle, std::span<const uint8_t> image) {
  Header header;
  int subsampling = 0;
  int colorspace = 0;
  header.accepted = tjDecompressHeader3(handle, image.data(), image.size(), &header.width, &header.height, &subsampling,
                                        &colorspace) == 0;
  return header;
}

// What the decoder does when it reads the header first: accept only an image of exactly
// the tile's size that TurboJPEG's header call accepts, then decode it, all on a fresh
// decompressor as the codec uses for such images.
bool DecodeThroughHeaderCall(std::span<const uint8_t> image, int width, int height, stv::TilePixels& out) {
  tjhandle handle = tjInitDecompress();
  const Header header = ReadHeader(handle, image);
  bool decoded = false;
  if (header.accepted && header.width == width && header.height == height) {
    out.resize(static_cast<size_t>(width) * height * 4);
    decoded = tjDecompress2(handle, image.data(), image.size(), out.data(), width, width * 4, height, TJPF_BGRA,
                            TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) == 0;
  }
  tjDestroy(handle);
  return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static stv::agent::SystemImageCodec codec(true, STV_JXR_DECODER);
  static stv::TilePixels out;  // reused, as the session picture reuses its scratch
  static stv::TilePixels reference;
  if (size < 2) return 0;
  const int width = 1 + data[0] % 64;
  const int height = 1 + data[1] % 64;
  const std::span<const uint8_t> image(data + 2, size - 2);
  const bool decoded = codec.Decode(image, width, height, out);
  const size_t expected = decoded ? static_cast<size_t>(width) * height * 4 : 0;
  if (out.size() != expected) std::abort();

  if (stv::agent::IsJpeg(image)) {
    stv::agent::SystemImageCodec fresh;
    const bool freshDecoded = fresh.Decode(image, width, height, reference);
    if (freshDecoded != decoded || (decoded && reference != out)) std::abort();
  }

  const auto frame = stv::agent::ScanJpegFrame(image);
  if (!stv::agent::IsJpeg(image) || !frame) return 0;
  tjhandle handle = tjInitDecompress();
  const Header header = ReadHeader(handle, image);
  tjDestroy(handle);
  // A call that accepts without a size read only tables: it saw no frame where the scan did.
  if (header.accepted && (header.width != frame->width || header.height != frame->height)) std::abort();
  if (frame->standardLayout && frame->width == width && frame->height == height) {
    const bool viaHeader = DecodeThroughHeaderCall(image, width, height, reference);
    if (viaHeader != decoded || (decoded && reference != out)) std::abort();
  }
  return 0;
}
