// The tile image codec on arbitrary data. Input: the tile's width and height (1 to 64,
// one byte each), then the image.
//
// A JPEG whose frame header scan lets the codec skip TurboJPEG's own header call must come
// out exactly as through that call: the same acceptance and the same pixels. And since the
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

bool DecodeWithHandle(tjhandle handle, std::span<const uint8_t> image, int width, int height,
                      stv::TilePixels& out);

// What the decoder does when it reads the header first: accept only an image of exactly
// the tile's size that TurboJPEG's header call accepts, then decode it.
bool DecodeThroughHeaderCall(std::span<const uint8_t> image, int width, int height, stv::TilePixels& out) {
  // A fresh decompressor, as the codec uses for every image.
  tjhandle handle = tjInitDecompress();
  const bool decoded = DecodeWithHandle(handle, image, width, height, out);
  tjDestroy(handle);
  return decoded;
}

bool DecodeWithHandle(tjhandle handle, std::span<const uint8_t> image, int width, int height,
                      stv::TilePixels& out) {
  int imageWidth = 0;
  int imageHeight = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (tjDecompressHeader3(handle, image.data(), image.size(), &imageWidth, &imageHeight, &subsampling,
                          &colorspace) != 0) {
    return false;
  }
  if (imageWidth != width || imageHeight != height) std::abort();  // the scan read another size
  out.resize(static_cast<size_t>(width) * height * 4);
  return tjDecompress2(handle, image.data(), image.size(), out.data(), width, width * 4, height, TJPF_BGRA,
                       TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static stv::agent::SystemImageCodec codec;
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
  if (stv::agent::IsJpeg(image) && frame && frame->standardLayout && frame->width == width &&
      frame->height == height) {
    const bool viaHeader = DecodeThroughHeaderCall(image, width, height, reference);
    if (viaHeader != decoded || (decoded && reference != out)) std::abort();
  }
  return 0;
}
