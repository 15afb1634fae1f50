#include "codec/gif_image.h"

#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "codec/image_limits.h"

namespace stv::agent {
namespace {

constexpr size_t kSignatureSize = 6;

struct MemorySource {
  const uint8_t* data;
  size_t size;
  size_t offset;
};

// giflib treats a short count as the end of the data.
int ReadFromMemory(GifFileType* gif, GifByteType* target, int length) {
  auto* source = static_cast<MemorySource*>(gif->UserData);
  const size_t count = std::min(static_cast<size_t>(std::max(length, 0)), source->size - source->offset);
  if (count != 0) std::memcpy(target, source->data + source->offset, count);
  source->offset += count;
  return static_cast<int>(count);
}

struct GifCloser {
  void operator()(GifFileType* gif) const { DGifCloseFile(gif, nullptr); }
};
using GifFile = std::unique_ptr<GifFileType, GifCloser>;

// Reads the records before the first frame and its image descriptor. The frame's
// transparent index is that of the last graphics control extension before it.
bool ReadFirstFrameDescriptor(GifFileType* gif, int& transparentIndex) {
  transparentIndex = NO_TRANSPARENT_COLOR;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) != GIF_OK) return false;
    if (type == IMAGE_DESC_RECORD_TYPE) return DGifGetImageDesc(gif) == GIF_OK;
    if (type != EXTENSION_RECORD_TYPE) return false;  // the trailer: no frame at all
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) != GIF_OK) return false;
    GraphicsControlBlock control;
    if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr &&
        DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK) {
      transparentIndex = control.TransparentColor;
    }
    while (block != nullptr) {
      if (DGifGetExtensionNext(gif, &block) != GIF_OK) return false;
    }
  }
}

using Bgra = std::array<uint8_t, 4>;

Bgra ToBgra(const GifColorType& color, uint8_t alpha) { return {color.Blue, color.Green, color.Red, alpha}; }

// ImageMagick clamps a background index past the map to its last colour.
Bgra Background(const GifFileType& gif) {
  const ColorMapObject* map = gif.SColorMap;
  if (map == nullptr || map->ColorCount < 1) return {255, 255, 255, 0};
  return ToBgra(map->Colors[std::min(gif.SBackGroundColor, map->ColorCount - 1)], 0);
}

void Fill(TilePixels& out, const Bgra& color) {
  for (size_t at = 0; at < out.size(); at += 4) std::memcpy(&out[at], color.data(), 4);
}

// The frame row that comes `stored`-th in the data: interlaced frames store every 8th row
// from 0, then every 8th from 4, every 4th from 2 and every 2nd from 1.
int StoredRowToFrameRow(int stored, int frameHeight, bool interlaced) {
  if (!interlaced) return stored;
  static constexpr int kStart[4] = {0, 4, 2, 1};
  static constexpr int kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    const int rows = frameHeight > kStart[pass] ? (frameHeight - kStart[pass] + kStep[pass] - 1) / kStep[pass] : 0;
    if (stored < rows) return kStart[pass] + stored * kStep[pass];
    stored -= rows;
  }
  return -1;  // not reached: a frame stores exactly frameHeight rows
}

}  // namespace

bool IsGif(std::span<const uint8_t> image) {
  return image.size() >= kSignatureSize && (std::memcmp(image.data(), GIF87_STAMP, kSignatureSize) == 0 ||
                                            std::memcmp(image.data(), GIF89_STAMP, kSignatureSize) == 0);
}

bool DecodeGifTopLeft(std::span<const uint8_t> image, int width, int height, TilePixels& out) {
  if (!IsGif(image) || !ImageSizeAllowed(width, height)) return false;
  MemorySource source{image.data(), image.size(), 0};
  int error = 0;
  GifFile gif(DGifOpen(&source, ReadFromMemory, &error));
  if (!gif || gif->SWidth < width || gif->SHeight < height || !ImageSizeAllowed(gif->SWidth, gif->SHeight)) {
    return false;
  }
  int transparentIndex = NO_TRANSPARENT_COLOR;
  if (!ReadFirstFrameDescriptor(gif.get(), transparentIndex)) return false;
  const GifImageDesc frame = gif->Image;
  const ColorMapObject* map = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
  if (map == nullptr || frame.Width < 1 || frame.Height < 1 || frame.Left + frame.Width > gif->SWidth ||
      frame.Top + frame.Height > gif->SHeight) {
    return false;
  }
  std::array<Bgra, 256> colors{};
  for (int i = 0; i < std::min(map->ColorCount, 256); ++i) {
    colors[i] = ToBgra(map->Colors[i], i == transparentIndex ? 0 : 255);
  }

  out.resize(ImageBytes(width, height));
  if (frame.Left > 0 || frame.Top > 0 || frame.Left + frame.Width < width || frame.Top + frame.Height < height) {
    Fill(out, Background(*gif));
  }
  // Every row is decoded, those outside the tile too, so that a frame cut short or an index
  // past the map fails whatever the tile's size.
  std::vector<GifPixelType> line(frame.Width);
  const int columns = std::min(frame.Width, width - std::min(frame.Left, width));
  for (int stored = 0; stored < frame.Height; ++stored) {
    if (DGifGetLine(gif.get(), line.data(), frame.Width) != GIF_OK) return false;
    if (*std::max_element(line.begin(), line.end()) >= map->ColorCount) return false;
    const int y = frame.Top + StoredRowToFrameRow(stored, frame.Height, frame.Interlace);
    if (y >= height || columns == 0) continue;
    uint8_t* target = out.data() + (static_cast<size_t>(y) * width + frame.Left) * 4;
    for (int x = 0; x < columns; ++x) std::memcpy(target + x * 4, colors[line[x]].data(), 4);
  }
  return true;
}

}  // namespace stv::agent
