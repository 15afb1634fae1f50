// The session's own logic: the headless report and verdict, the quality report, the BMP file.
#include <gtest/gtest.h>

#include "app/bmp.h"
#include "app/headless.h"
#include "protocol/quality_report.h"
#include "support/child_process.h"

namespace stv {
namespace {

TEST(HeadlessReportTest, StatusLineReportAndVerdict) {
  SessionPicture picture;
  picture.width = 1920;
  picture.height = 1080;
  picture.frames = 12;
  picture.keyframes = 1;
  picture.tilesPainted = 480;
  picture.heartbeats = 3;
  picture.messages = 20;
  picture.bytes = 3 * 1048576 + 524288;
  EXPECT_TRUE(HeadlessSessionOk(picture));
  EXPECT_EQ(FormatStatusLine(2, picture, 10 * 1024 + 1023),
            "  t+2s  1920x1080  12 frames  480 tiles  3 beats  10 KB\n");
  EXPECT_EQ(FormatReport(2, picture),
            "\nclient monitors  : 2\n"
            "framebuffer      : 1920x1080\n"
            "messages         : 20 (0 malformed)\n"
            "frames/keyframes : 12 / 1\n"
            "tiles            : 480 painted, 0 undecodable\n"
            "heartbeats       : 3\n"
            "received         : 3.50 MB\n");
  // One undecodable tile or malformed message fails it, as does a stream without a keyframe.
  for (uint64_t SessionPicture::*field : {&SessionPicture::undecodable, &SessionPicture::malformed}) {
    picture.*field = 1;
    EXPECT_FALSE(HeadlessSessionOk(picture));
    picture.*field = 0;
  }
  picture.keyframes = 0;
  EXPECT_FALSE(HeadlessSessionOk(picture));
}

// The fields from the command line are checked end to end (headless_e2e_test); the rate here.
TEST(QualityReportTest, RateIsTruncatedAndBounded) {
  const ControlMessage report = MakeQualityReport(125000, 1.0, QualityPreset::DataSaver, true, 1280, 720);
  EXPECT_EQ(report.kbps, 1000);
  EXPECT_EQ(report.fps, 0);
  EXPECT_FALSE(report.btn.has_value());
  EXPECT_EQ(MeasuredKbps(999, 1.0), 7);  // truncated, not rounded
  EXPECT_EQ(MeasuredKbps(1000, 0.0), 0);
  EXPECT_EQ(MeasuredKbps(1000, -1.0), 0);
  EXPECT_EQ(MeasuredKbps(UINT64_MAX, 1e-9), INT32_MAX);
}

TEST(BmpTest, HeaderDescribesATopDownPicture) {
  const std::string path = ::testing::TempDir() + "stv-bmp-test.bmp";
  const std::vector<uint8_t> pixels = {1, 2, 3, 4, 5, 6, 7, 8, 99};  // one byte too many: left out
  ASSERT_TRUE(WriteBmpFile(path, 2, 1, pixels));
  // File size 62, pixels at 54, a 40-byte info header, 2 x -1 (top-down), one plane, 32 bits,
  // no compression, 8 bytes of pixels, the rest zero.
  std::vector<uint8_t> expected = {'B', 'M', 62, 0,    0,    0,    0,    0, 0, 0,  54, 0, 0, 0, 40, 0, 0, 0, 2,
                                   0,   0,   0,  0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 32, 0,  0, 0, 0, 0,  8, 0, 0, 0};
  expected.resize(54, 0);
  expected.insert(expected.end(), pixels.begin(), pixels.begin() + 8);
  EXPECT_EQ(testing::ReadFileBytes(path), expected);
}

}  // namespace
}  // namespace stv
