#include "codec/system_image_codec.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

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
using Pixels = TilePixels;  // what the codec decodes into

// A smooth 24 x 20 picture with varying alpha: lossy formats keep it close, lossless exact.
Bytes SourcePixels(bool withAlpha) {
  Bytes bgra;
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 24; ++x) {
      bgra.insert(bgra.end(), {static_cast<uint8_t>(40 + x * 6), static_cast<uint8_t>(200 - y * 7),
                               static_cast<uint8_t>(100 + x * 2 + y * 3),
                               static_cast<uint8_t>(withAlpha ? 255 - (x + y) * 5 : 255)});
    }
  }
  return bgra;
}

// The top `h` rows of `w` pixels of `whole` (24 pixels wide) are exactly `corner`.
bool IsTopLeftCorner(std::span<const uint8_t> corner, std::span<const uint8_t> whole, int w, int h) {
  if (corner.size() != size_t(w * h * 4)) return false;
  for (int y = 0; y < h; ++y) {
    if (!std::equal(corner.begin() + y * w * 4, corner.begin() + (y + 1) * w * 4, whole.begin() + y * 96)) return false;
  }
  return true;
}

Bytes OwnJpeg(SystemImageCodec& codec) {
  Bytes jpeg = codec.EncodeJpeg(SourcePixels(false), 24, 20, 90);
  EXPECT_FALSE(jpeg.empty());
  return jpeg;
}

// Images made by the real tools in a fresh folder; tests skip when a tool is missing. (PNG is
// held to images built sample by sample in png_decode_test.)
class ToolImages : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteNetpbm("opaque.pam", false);
    WriteNetpbm("alpha.pam", true);
  }

  // Runs `command` in the folder and returns the bytes of `output`.
  Bytes Make(const std::string& command, const std::string& output) {
    EXPECT_EQ(testing::RunShell("cd '" + dir_.path().string() + "' && " + command).exitCode, 0) << command;
    return testing::ReadFileBytes(dir_ / output);
  }

  void WriteNetpbm(const char* name, bool withAlpha) {
    std::ofstream file(dir_ / name, std::ios::binary);
    file << "P7\nWIDTH 24\nHEIGHT 20\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    const Bytes bgra = SourcePixels(withAlpha);
    for (size_t i = 0; i < bgra.size(); i += 4) {
      const char rgba[4] = {char(bgra[i + 2]), char(bgra[i + 1]), char(bgra[i]), char(bgra[i + 3])};
      file.write(rgba, 4);
    }
  }

  testing::TempDir dir_;
  SystemImageCodec codec_;
};

// Largest per-channel difference, and the mean one, over the colour channels.
struct Difference {
  int largest = 0;
  double mean = 0;
};

Difference Compare(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  Difference d;
  long total = 0;
  for (size_t i = 0; i + 3 < a.size(); i += 4) {
    for (int c = 0; c < 3; ++c) {
      const int diff = std::abs(a[i + c] - b[i + c]);
      d.largest = std::max(d.largest, diff);
      total += diff;
    }
  }
  d.mean = static_cast<double>(total) / (a.size() / 4 * 3);
  return d;
}

TEST_F(ToolImages, WebpFromCwebpDecodesAtExactlyItsSize) {
  if (!testing::ProgramOnPath("cwebp")) GTEST_SKIP() << "cwebp is not installed";
  Pixels out;
  const Bytes lossless = Make("cwebp -quiet -lossless -exact alpha.pam -o l.webp", "l.webp");
  ASSERT_TRUE(codec_.Decode(lossless, 24, 20, out));
  EXPECT_TRUE(std::ranges::equal(out, SourcePixels(true)));

  const Bytes lossy = Make("cwebp -quiet -q 90 opaque.pam -o q.webp", "q.webp");
  ASSERT_TRUE(codec_.Decode(lossy, 24, 20, out));
  EXPECT_LT(Compare(out, SourcePixels(false)).mean, 3.0);
  for (size_t i = 3; i < out.size(); i += 4) ASSERT_EQ(out[i], 255);

  // WebP admits no cropping: another size fails and leaves the output empty, capacity kept.
  const size_t capacity = out.capacity();
  EXPECT_FALSE(codec_.Decode(lossless, 24, 10, out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(out.capacity(), capacity);
  EXPECT_FALSE(codec_.Decode(lossless, 25, 20, out));
  EXPECT_FALSE(codec_.Decode(std::span(lossless).first(lossless.size() / 2), 24, 20, out));
}

// The decoder skips TurboJPEG's header call when its own scan finds an exact-size image in a
// layout TurboJPEG names. Across the layouts a real encoder writes, the scan must read the
// same size and choose only images that call accepts; what decodes matches TurboJPEG's pixels
// and the source, and a larger image gives its top-left corner.
TEST_F(ToolImages, JpegFromImageMagickOnEveryLayout) {
  if (!testing::ProgramOnPath("convert")) GTEST_SKIP() << "ImageMagick's convert is not installed";
  tjhandle handle = tjInitDecompress();
  struct Case {
    const char* options;
    bool standard;
    bool carriesTables = true;  // all but the progressive image, whose later scans bring some
  };
  for (const Case& c :
       {Case{"-sampling-factor 1x1", true}, Case{"-sampling-factor 2x1", true}, Case{"-sampling-factor 2x2", true},
        Case{"-sampling-factor 1x2", true}, Case{"-sampling-factor 4x1", true}, Case{"-interlace JPEG", true, false},
        Case{"-colorspace Gray", true}, Case{"-sampling-factor 1x4", false}, Case{"-sampling-factor 3x1", false},
        Case{"-sampling-factor 2x2,1x1,2x2", false}, Case{"-colorspace CMYK", false}}) {
    SCOPED_TRACE(c.options);
    const Bytes jpeg = Make(std::string("convert opaque.pam -quality 90 ") + c.options + " s.jpg", "s.jpg");
    const auto frame = ScanJpegFrame(jpeg);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->width, 24);
    EXPECT_EQ(frame->height, 20);
    EXPECT_EQ(frame->standardLayout, c.standard);
    EXPECT_EQ(frame->carriesItsTables, c.carriesTables);
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    const bool headerAccepts =
        tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colorspace) == 0;
    ASSERT_TRUE(headerAccepts || !c.standard);
    Pixels out;
    ASSERT_EQ(codec_.Decode(jpeg, 24, 20, out), headerAccepts);
    if (!headerAccepts) continue;
    if (c.standard) {
      Pixels reference(24 * 20 * 4);
      ASSERT_EQ(tjDecompress2(handle, jpeg.data(), jpeg.size(), reference.data(), 24, 96, 20, TJPF_BGRA, 0), 0);
      EXPECT_TRUE(out == reference);
    }
    if (std::string_view(c.options) != "-colorspace Gray") {
      const Difference d = Compare(out, SourcePixels(false));
      EXPECT_LT(d.mean, 3.0);
      EXPECT_LT(d.largest, 24);
    }
    for (size_t i = 3; i < out.size(); i += 4) ASSERT_EQ(out[i], 255);
    const Pixels whole = out;
    ASSERT_TRUE(codec_.Decode(jpeg, 7, 5, out));
    EXPECT_TRUE(IsTopLeftCorner(out, whole, 7, 5));
    EXPECT_FALSE(codec_.Decode(jpeg, 24, 21, out));
    EXPECT_TRUE(out.empty());
  }
  tjDestroy(handle);
  // Gray against ImageMagick's own reading of it (one byte a pixel).
  Pixels out;
  ASSERT_TRUE(codec_.Decode(Make("convert opaque.pam -quality 95 -colorspace Gray g.jpg", "g.jpg"), 24, 20, out));
  Bytes gray;
  for (uint8_t g : Make("convert g.jpg -depth 8 gray:g.raw", "g.raw")) gray.insert(gray.end(), {g, g, g, 255});
  EXPECT_LE(Compare(out, gray).largest, 2);
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
      out.insert(out.end(), {0xFF, marker, static_cast<uint8_t>((body->size() + 2) >> 8),
                             static_cast<uint8_t>((body->size() + 2) & 0xFF)});
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

// The same image with its Huffman tables in slots 2 and 3 instead of 0 and 1, where no
// standard table stands in for a missing one.
Bytes WithHuffmanTablesInUpperSlots(const Bytes& jpeg) {
  return RewriteSegments(jpeg, [](uint8_t marker, Bytes body) -> std::optional<Bytes> {
    if (marker == 0xC4) {
      for (size_t at = 0; at + 17 <= body.size();) {
        size_t values = 0;
        for (size_t i = 1; i <= 16; ++i) values += body[at + i];
        body[at] += 2;
        at += 17 + values;
      }
    } else if (marker == 0xDA) {
      for (size_t c = 0; c < body[0]; ++c) body[2 + 2 * c] += 0x22;
    }
    return body;
  });
}

// A JPEG without its quantisation or Huffman tables only decodes with tables left over from
// an earlier image (or, for Huffman tables 0 and 1, with the standard ones). No tile may lean
// on the tile before it: each one decodes as it would on its own.
TEST(SystemImageCodecTest, AJpegTileNeverBorrowsTablesFromThePreviousTile) {
  SystemImageCodec codec;
  const Bytes jpeg = OwnJpeg(codec);
  const Bytes withoutQuantisation = WithoutSegments(jpeg, 0xDB);
  ASSERT_LT(withoutQuantisation.size(), jpeg.size());
  Pixels out;
  ASSERT_TRUE(codec.Decode(jpeg, 24, 20, out));
  EXPECT_FALSE(codec.Decode(withoutQuantisation, 24, 20, out));
  EXPECT_FALSE(codec.Decode(withoutQuantisation, 7, 5, out));  // the header path as well

  const Bytes upper = WithHuffmanTablesInUpperSlots(jpeg);
  const Bytes upperWithoutHuffman = WithoutSegments(upper, 0xC4);
  ASSERT_LT(upperWithoutHuffman.size(), upper.size());
  Pixels reference;
  ASSERT_TRUE(codec.Decode(jpeg, 24, 20, reference));
  ASSERT_TRUE(codec.Decode(upper, 24, 20, out));
  EXPECT_EQ(out, reference);
  EXPECT_FALSE(codec.Decode(upperWithoutHuffman, 24, 20, out));
  EXPECT_FALSE(codec.Decode(upperWithoutHuffman, 7, 5, out));
  // Without tables in slots 0 and 1, the standard ones stand in, whatever came before.
  ASSERT_TRUE(codec.Decode(upper, 24, 20, out));
  EXPECT_TRUE(codec.Decode(WithoutSegments(jpeg, 0xC4), 24, 20, out));
  EXPECT_EQ(out, reference);  // TurboJPEG writes the standard tables
}

// A tile that fails anywhere in TurboJPEG, in its header call as well as in the decode,
// leaves nothing behind that could spoil the next tile.
TEST(SystemImageCodecTest, AFailedJpegTileLeavesNothingBehind) {
  SystemImageCodec codec;
  const Bytes jpeg = OwnJpeg(codec);
  Pixels reference;
  ASSERT_TRUE(codec.Decode(jpeg, 24, 20, reference));
  // A vertical sampling factor of 9 for the last component: TurboJPEG's header call refuses it.
  const Bytes badSampling = RewriteSegments(jpeg, [](uint8_t marker, Bytes body) -> std::optional<Bytes> {
    if (marker == 0xC0) body[6 + 3 * 2 + 1] = 0x19;
    return body;
  });
  // All tables and the scan header, but not all of the scan.
  const Bytes truncated(jpeg.begin(), jpeg.end() - 12);
  ASSERT_TRUE(ScanJpegFrame(truncated).has_value() && ScanJpegFrame(truncated)->carriesItsTables);
  for (const Bytes* bad : {&badSampling, &truncated}) {
    for (const int width : {24, 7}) {  // the tile's own size, and a smaller one
      SCOPED_TRACE(::testing::Message() << (bad == &truncated ? "truncated" : "bad sampling") << ", width " << width);
      Pixels out;
      EXPECT_FALSE(codec.Decode(*bad, width, width == 24 ? 20 : 5, out));
      ASSERT_TRUE(codec.Decode(jpeg, 24, 20, out));
      EXPECT_EQ(out, reference);
    }
  }
}

TEST(SystemImageCodecTest, RejectsBadArgumentsAndUnknownData) {
  SystemImageCodec codec;
  const Bytes jpeg = OwnJpeg(codec);
  Pixels out(10, 1);
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
  const size_t sof = static_cast<size_t>(
      std::search(jpeg.begin(), jpeg.end(), std::begin(baselineFrame), std::end(baselineFrame)) - jpeg.begin());
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

TEST(SystemImageCodecTest, EncodersRoundTripAndWithoutSystemDecodersOnlyWebpDecodes) {
  ::testing::internal::CaptureStdout();
  SystemImageCodec webpOnly(false);
  const std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find(" WRN [codec] WIC is unavailable (0x0000007D); photographic tiles will be "
                     "sent losslessly instead\n"),
            std::string::npos)
      << log;
  EXPECT_FALSE(webpOnly.HasFactory());

  // Both encoders round-trip through the full codec, within the loss of their quality.
  SystemImageCodec full;
  EXPECT_TRUE(full.HasFactory());
  const Bytes pixels = SourcePixels(false);
  const std::optional<Bytes> webp = full.EncodeWebp(pixels, 24, 20, 95);
  const Bytes jpeg = full.EncodeJpeg(pixels, 24, 20, 95);
  ASSERT_TRUE(webp.has_value());
  Pixels out;
  EXPECT_TRUE(webpOnly.Decode(*webp, 24, 20, out));
  EXPECT_LT(Compare(out, pixels).mean, 3.0);
  EXPECT_FALSE(webpOnly.Decode(jpeg, 24, 20, out));
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(full.Decode(jpeg, 24, 20, out));
  EXPECT_LT(Compare(out, pixels).mean, 3.0);
  // A JPEG larger than asked gives its top-left corner; WebP admits no other size.
  const Pixels whole = out;
  ASSERT_TRUE(full.Decode(jpeg, 7, 5, out));
  EXPECT_TRUE(IsTopLeftCorner(out, whole, 7, 5));
  EXPECT_FALSE(full.Decode(*webp, 24, 10, out));

  // The encoders refuse input shorter than its size, and an empty size.
  const std::span<const uint8_t> shortInput(pixels.data(), pixels.size() - 1);
  EXPECT_TRUE(full.EncodeJpeg(shortInput, 24, 20, 95).empty());
  EXPECT_FALSE(full.EncodeWebp(shortInput, 24, 20, 95).has_value());
  EXPECT_TRUE(full.EncodeJpeg(pixels, 0, 20, 95).empty());
  EXPECT_FALSE(full.EncodeWebp(pixels, 24, 0, 95).has_value());
}

}  // namespace
}  // namespace stv::agent
