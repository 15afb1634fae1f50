#include "codec/system_image_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

#include "codec/jpeg_image.h"
#include "common/byte_order.h"
#include "support/child_process.h"

namespace stv::agent {
namespace {

using Bytes = std::vector<uint8_t>;

// A smooth 24 x 20 picture with varying alpha: lossy formats keep it close.
Bytes SourcePixels(bool withAlpha) {
  Bytes bgra;
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 24; ++x) {
      bgra.insert(bgra.end(), {uint8_t(40 + x * 6), uint8_t(200 - y * 7), uint8_t(100 + x * 2 + y * 3),
                               uint8_t(withAlpha ? 255 - (x + y) * 5 : 255)});
    }
  }
  return bgra;
}

// Largest per-channel difference over the colour channels, and the mean one; 256 for both
// unless every alpha of `a` is 255.
std::pair<int, double> Difference(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  int largest = 0;
  long total = 0;
  for (size_t i = 0; i + 3 < a.size(); i += 4) {
    for (int c = 0; c < 3; ++c) {
      largest = std::max(largest, std::abs(a[i + c] - b[i + c]));
      total += std::abs(a[i + c] - b[i + c]);
    }
    if (a[i + 3] != 255) return {256, 256};
  }
  return {largest, double(total) / double(a.size() / 4 * 3)};
}

// The top `h` rows of `w` pixels of `whole` (24 pixels wide) are exactly `corner`.
bool IsTopLeftCorner(std::span<const uint8_t> corner, std::span<const uint8_t> whole, int w, int h) {
  if (corner.size() != size_t(w * h * 4)) return false;
  for (int y = 0; y < h; ++y) {
    if (!std::equal(corner.begin() + y * w * 4, corner.begin() + (y + 1) * w * 4, whole.begin() + y * 96)) return false;
  }
  return true;
}

TEST(SystemImageCodecTest, EncodersRoundTripAndWithoutSystemDecodersOnlyWebpDecodes) {
  ::testing::internal::CaptureStdout();
  SystemImageCodec webpOnly(false);
  const std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find(" WRN [codec] WIC is unavailable (0x0000007D); photographic tiles will be "
                     "sent losslessly instead\n"),
            std::string::npos)
      << log;
  EXPECT_FALSE(webpOnly.HasFactory());

  // Both encoders round-trip through the full codec, within the loss of their quality;
  // WebP keeps the alpha channel exactly.
  SystemImageCodec full;
  EXPECT_TRUE(full.HasFactory());
  const Bytes pixels = SourcePixels(false);
  const Bytes withAlpha = SourcePixels(true);
  const std::optional<Bytes> webp = full.EncodeWebp(withAlpha, 24, 20, 95);
  const Bytes jpeg = full.EncodeJpeg(pixels, 24, 20, 95);
  ASSERT_TRUE(webp.has_value());
  TilePixels out;
  ASSERT_TRUE(webpOnly.Decode(*webp, 24, 20, out));
  for (size_t i = 3; i < out.size(); i += 4) ASSERT_EQ(out[i], withAlpha[i]) << i;
  for (size_t i = 3; i < out.size(); i += 4) out[i] = 255;
  EXPECT_LT(Difference(out, pixels).second, 3.0);
  EXPECT_FALSE(webpOnly.Decode(jpeg, 24, 20, out));
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(full.Decode(jpeg, 24, 20, out));
  EXPECT_LT(Difference(out, pixels).second, 3.0);

  // A JPEG larger than asked gives its top-left corner; WebP admits no other size, and what
  // fails leaves the output empty with its capacity kept.
  const TilePixels whole = out;
  ASSERT_TRUE(full.Decode(jpeg, 7, 5, out));
  EXPECT_TRUE(IsTopLeftCorner(out, whole, 7, 5));
  for (auto [w, h] : {std::pair{24, 10}, {25, 20}, {23, 20}}) {
    const size_t capacity = out.capacity();
    EXPECT_FALSE(full.Decode(*webp, w, h, out)) << w << "x" << h;
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.capacity(), capacity);
  }
  EXPECT_FALSE(full.Decode(std::span(*webp).first(webp->size() / 2), 24, 20, out));

  // The encoders refuse input shorter than its size, and an empty size.
  const std::span<const uint8_t> shortInput(pixels.data(), pixels.size() - 1);
  EXPECT_TRUE(full.EncodeJpeg(shortInput, 24, 20, 95).empty());
  EXPECT_FALSE(full.EncodeWebp(shortInput, 24, 20, 95).has_value());
  EXPECT_TRUE(full.EncodeJpeg(pixels, 0, 20, 95).empty());
  EXPECT_FALSE(full.EncodeWebp(pixels, 24, 0, 95).has_value());
}

// The decoder skips TurboJPEG's header call when its own scan finds an exact-size image in a
// layout TurboJPEG names. Across the layouts a real encoder writes, the scan must read the
// size and the layout; what decodes matches the source, and a larger image gives its
// top-left corner. (That the skip decodes as the header call would is the codec fuzzer's
// check.)
TEST(SystemImageCodecTest, JpegFromImageMagickOnEveryLayout) {
  if (!testing::ProgramOnPath("convert")) GTEST_SKIP() << "ImageMagick's convert is not installed";
  testing::TempDir dir;
  auto make = [&](const std::string& command, const std::string& output) {
    EXPECT_EQ(testing::RunShell("cd '" + dir.path().string() + "' && " + command).exitCode, 0) << command;
    return testing::ReadFileBytes(dir / output);
  };
  {
    std::ofstream file(dir / "source.pam", std::ios::binary);
    file << "P7\nWIDTH 24\nHEIGHT 20\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    const Bytes bgra = SourcePixels(false);
    for (size_t i = 0; i < bgra.size(); i += 4) file << bgra[i + 2] << bgra[i + 1] << bgra[i] << bgra[i + 3];
  }
  SystemImageCodec codec;
  // Options, standard layout; the progressive image is the one whose later scans bring tables.
  // Other layouts than CMYK may be refused by TurboJPEG, as its version decides.
  const std::pair<const char*, bool> cases[] = {
      {"-sampling-factor 1x1", true}, {"-sampling-factor 2x1", true},         {"-sampling-factor 2x2", true},
      {"-sampling-factor 1x2", true}, {"-sampling-factor 4x1", true},         {"-interlace JPEG", true},
      {"-colorspace Gray", true},     {"-sampling-factor 1x4", false},        {"-sampling-factor 3x1", false},
      {"-colorspace CMYK", false},    {"-sampling-factor 2x2,1x1,2x2", false}};
  for (const auto& [options, standard] : cases) {
    SCOPED_TRACE(options);
    const Bytes jpeg = make(std::string("convert source.pam -quality 90 ") + options + " s.jpg", "s.jpg");
    const auto frame = ScanJpegFrame(jpeg);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->width, 24);
    EXPECT_EQ(frame->height, 20);
    EXPECT_EQ(frame->standardLayout, standard);
    EXPECT_EQ(frame->carriesItsTables, std::string_view(options) != "-interlace JPEG");
    TilePixels out;
    const bool decoded = codec.Decode(jpeg, 24, 20, out);
    ASSERT_TRUE(decoded || !(standard || std::string_view(options) == "-colorspace CMYK"));
    if (!decoded) continue;
    const bool gray = std::string_view(options) == "-colorspace Gray";
    const auto [largest, mean] = Difference(out, SourcePixels(false));
    EXPECT_LT(largest, gray ? 256 : 24);  // gray: opaque, whatever the colours
    EXPECT_LT(gray ? 0.0 : mean, 3.0);
    const TilePixels whole = out;
    ASSERT_TRUE(codec.Decode(jpeg, 7, 5, out));
    EXPECT_TRUE(IsTopLeftCorner(out, whole, 7, 5));
    EXPECT_FALSE(codec.Decode(jpeg, 24, 21, out));
    EXPECT_TRUE(out.empty());
  }
  // Gray against ImageMagick's own reading of it (one byte a pixel).
  TilePixels out;
  ASSERT_TRUE(codec.Decode(make("convert source.pam -quality 95 -colorspace Gray g.jpg", "g.jpg"), 24, 20, out));
  Bytes gray;
  for (uint8_t g : make("convert g.jpg -depth 8 gray:g.raw", "g.raw")) gray.insert(gray.end(), {g, g, g, 255});
  EXPECT_LE(Difference(out, gray).first, 2);
}

// Calls `visit(marker, body)` for each marker segment of `jpeg` up to and including the
// first scan's header; what `visit` returns replaces the segment (nothing drops it).
template <typename Visit>
Bytes RewriteSegments(const Bytes& jpeg, Visit visit) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  for (size_t at = 2; at + 4 <= jpeg.size();) {
    const uint8_t marker = jpeg[at + 1];
    const size_t length = ReadU16Be(&jpeg[at + 2]);
    const std::optional<Bytes> body = visit(marker, Bytes(jpeg.begin() + at + 4, jpeg.begin() + at + 2 + length));
    if (body) {
      out.insert(out.end(), {0xFF, marker, uint8_t((body->size() + 2) >> 8), uint8_t((body->size() + 2) & 0xFF)});
      out.insert(out.end(), body->begin(), body->end());
    }
    at += 2 + length;
    if (marker == 0xDA) {  // the entropy-coded data and the end follow unchanged
      out.insert(out.end(), jpeg.begin() + at, jpeg.end());
      break;
    }
  }
  return out;
}

Bytes WithoutSegments(const Bytes& jpeg, uint8_t dropped) {
  return RewriteSegments(jpeg, [&](uint8_t marker, Bytes body) -> std::optional<Bytes> {
    if (marker == dropped) return std::nullopt;
    return body;
  });
}

// A JPEG without its quantisation or Huffman tables only decodes with tables left over from
// an earlier image (or, for Huffman tables 0 and 1, with the standard ones), and a tile that
// fails in TurboJPEG's header call or its decode may leave a decompressor halfway. No tile
// may lean on the tile before it: each one decodes as it would on its own.
TEST(SystemImageCodecTest, AJpegTileNeverLeansOnThePreviousTile) {
  SystemImageCodec codec;
  const Bytes jpeg = codec.EncodeJpeg(SourcePixels(false), 24, 20, 90);
  TilePixels reference;
  ASSERT_TRUE(codec.Decode(jpeg, 24, 20, reference));
  // The same image with its Huffman tables in slots 2 and 3, where no standard table stands
  // in for a missing one.
  const Bytes upper = RewriteSegments(jpeg, [](uint8_t marker, Bytes body) -> std::optional<Bytes> {
    for (size_t at = 0; marker == 0xC4 && at + 17 <= body.size();) {
      size_t values = 0;
      for (size_t i = 1; i <= 16; ++i) values += body[at + i];
      body[at] += 2;
      at += 17 + values;
    }
    for (size_t c = 0; marker == 0xDA && c < body[0]; ++c) body[2 + 2 * c] += 0x22;
    return body;
  });
  // A vertical sampling factor of 9 for the last component: TurboJPEG's header call refuses it.
  const Bytes badSampling = RewriteSegments(jpeg, [](uint8_t marker, Bytes body) -> std::optional<Bytes> {
    if (marker == 0xC0) body[6 + 3 * 2 + 1] = 0x19;
    return body;
  });
  // All tables and the scan header, but not all of the scan.
  const Bytes truncated(jpeg.begin(), jpeg.end() - 12);
  ASSERT_TRUE(ScanJpegFrame(truncated).has_value() && ScanJpegFrame(truncated)->carriesItsTables);
  const Bytes withoutQuantisation = WithoutSegments(jpeg, 0xDB);
  const Bytes upperWithoutHuffman = WithoutSegments(upper, 0xC4);
  ASSERT_LT(withoutQuantisation.size(), jpeg.size());
  ASSERT_LT(upperWithoutHuffman.size(), upper.size());
  const std::pair<const char*, const Bytes*> bads[] = {{"no quantisation tables", &withoutQuantisation},
                                                       {"no Huffman tables", &upperWithoutHuffman},
                                                       {"bad sampling", &badSampling},
                                                       {"truncated", &truncated}};
  for (const auto& [name, bad] : bads) {
    for (const Bytes* before : {&jpeg, &upper}) {
      for (const int width : {24, 7}) {  // the tile's own size (no header call), and a smaller one
        SCOPED_TRACE(::testing::Message() << name << ", width " << width);
        TilePixels out;
        ASSERT_TRUE(codec.Decode(*before, 24, 20, out));
        EXPECT_EQ(out, reference);
        EXPECT_FALSE(codec.Decode(*bad, width, width == 24 ? 20 : 5, out));
      }
    }
    TilePixels out;
    ASSERT_TRUE(codec.Decode(jpeg, 24, 20, out));
    EXPECT_EQ(out, reference);
  }
  // Without tables in slots 0 and 1, the standard ones stand in, whatever came before.
  TilePixels out;
  ASSERT_TRUE(codec.Decode(upper, 24, 20, out));
  EXPECT_TRUE(codec.Decode(WithoutSegments(jpeg, 0xC4), 24, 20, out));
  EXPECT_EQ(out, reference);  // TurboJPEG writes the standard tables
}

TEST(SystemImageCodecTest, RejectsBadArgumentsAndUnknownData) {
  SystemImageCodec codec;
  const Bytes jpeg = codec.EncodeJpeg(SourcePixels(false), 24, 20, 90);
  TilePixels out(10, 1);
  EXPECT_FALSE(codec.Decode(jpeg, 0, 20, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(codec.Decode(jpeg, 24, -1, out));
  EXPECT_FALSE(codec.Decode({}, 24, 20, out));

  // Eleven bytes starting with "RIFF" are not WebP; neither are they anything else.
  const Bytes riff = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B'};
  EXPECT_FALSE(codec.Decode(riff, 1, 1, out));
  Bytes fakeWebp = riff;
  fakeWebp.insert(fakeWebp.end(), {'P', 1, 2, 3});
  EXPECT_FALSE(codec.Decode(fakeWebp, 1, 1, out));
  EXPECT_FALSE(codec.Decode(Bytes(64, 0x42), 1, 1, out));
  EXPECT_TRUE(out.empty());

  // A JPEG header claiming 65500 x 65500 pixels is refused before anything is allocated.
  const uint8_t baselineFrame[] = {0xFF, 0xC0};
  const size_t sof =
      size_t(std::search(jpeg.begin(), jpeg.end(), std::begin(baselineFrame), std::end(baselineFrame)) - jpeg.begin());
  ASSERT_LT(sof + 8, jpeg.size());
  Bytes huge = jpeg;
  huge[sof + 5] = huge[sof + 7] = 65500 >> 8;
  huge[sof + 6] = huge[sof + 8] = 65500 & 0xFF;
  EXPECT_FALSE(codec.Decode(huge, 8, 8, out));

  // Anything the decoder's marker reader reads another way is left to TurboJPEG.
  ASSERT_TRUE(ScanJpegFrame(jpeg).has_value());
  Bytes filled = jpeg;
  filled.insert(filled.begin() + 2, 0xFF);  // a fill byte after SOI
  EXPECT_FALSE(ScanJpegFrame(filled).has_value());
  Bytes stuffed = jpeg;  // stray data the reader skips up to the next FF, not a segment
  stuffed.insert(stuffed.begin() + 2, {0xFF, 0x00, 0x00, 0x02});
  EXPECT_FALSE(ScanJpegFrame(stuffed).has_value());
  const uint8_t scanHeader[] = {0xFF, 0xDA};
  const auto scan = std::search(jpeg.begin(), jpeg.end(), std::begin(scanHeader), std::end(scanHeader));
  EXPECT_FALSE(ScanJpegFrame(std::span(jpeg.begin(), scan)).has_value());  // a frame, but no scan
  Bytes noHeight = jpeg;
  noHeight[sof + 5] = noHeight[sof + 6] = 0;
  EXPECT_FALSE(ScanJpegFrame(noHeight).has_value());
}

}  // namespace
}  // namespace stv::agent
