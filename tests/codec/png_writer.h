// A small PNG encoder for tests: any colour type, bit depth and Adam7, straight from sample
// values, so the decoder can be checked against images whose every byte is known.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace stv::testing {

struct PngImage {
  int width = 0;
  int height = 0;
  int bitDepth = 8;
  int colorType = 6;  // 0 gray, 2 RGB, 3 palette, 4 gray + alpha, 6 RGBA
  bool interlaced = false;
  std::vector<uint16_t> samples;  // channels per pixel, rows from the top
  std::vector<uint8_t> palette;   // RGB triples
  std::vector<uint8_t> trns;      // the tRNS chunk's body, when not empty
};

inline int PngChannels(int colorType) { return colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1; }

namespace detail {

inline void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

inline void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& body) {
  PutU32(out, static_cast<uint32_t>(body.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), body.begin(), body.end());
  PutU32(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

// Appends one filtered (filter 0) row holding the pixels x0, x0 + step, ... of row y.
inline void PutRow(std::vector<uint8_t>& raw, const PngImage& image, int y, int x0, int step) {
  const int channels = PngChannels(image.colorType);
  raw.push_back(0);
  int bitsUsed = 0;
  for (int x = x0; x < image.width; x += step) {
    for (int c = 0; c < channels; ++c) {
      const uint16_t v = image.samples[(static_cast<size_t>(y) * image.width + x) * channels + c];
      if (image.bitDepth == 16) {
        raw.push_back(static_cast<uint8_t>(v >> 8));
        raw.push_back(static_cast<uint8_t>(v));
      } else if (image.bitDepth == 8) {
        raw.push_back(static_cast<uint8_t>(v));
      } else {
        if (bitsUsed == 0) raw.push_back(0);
        bitsUsed += image.bitDepth;
        raw.back() |= static_cast<uint8_t>(v << (8 - bitsUsed));
        if (bitsUsed == 8) bitsUsed = 0;
      }
    }
  }
}

}  // namespace detail

inline std::vector<uint8_t> EncodePng(const PngImage& image) {
  std::vector<uint8_t> raw;
  if (!image.interlaced) {
    for (int y = 0; y < image.height; ++y) detail::PutRow(raw, image, y, 0, 1);
  } else {
    static constexpr int kPasses[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                          {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    for (const auto& pass : kPasses) {
      if (pass[0] >= image.width) continue;  // an empty pass has no rows at all
      for (int y = pass[1]; y < image.height; y += pass[3]) {
        detail::PutRow(raw, image, y, pass[0], pass[2]);
      }
    }
  }
  uLongf packedSize = compressBound(raw.size());
  std::vector<uint8_t> packed(packedSize);
  compress2(packed.data(), &packedSize, raw.data(), raw.size(), 9);
  packed.resize(packedSize);

  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  detail::PutU32(header, image.width);
  detail::PutU32(header, image.height);
  header.insert(header.end(), {static_cast<uint8_t>(image.bitDepth),
                               static_cast<uint8_t>(image.colorType), 0, 0,
                               static_cast<uint8_t>(image.interlaced ? 1 : 0)});
  detail::PutChunk(out, "IHDR", header);
  if (!image.palette.empty()) detail::PutChunk(out, "PLTE", image.palette);
  if (!image.trns.empty()) detail::PutChunk(out, "tRNS", image.trns);
  detail::PutChunk(out, "IDAT", packed);
  detail::PutChunk(out, "IEND", {});
  return out;
}

}  // namespace stv::testing
