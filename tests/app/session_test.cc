// The session's own logic: message dispatch, the headless report and verdict, the BMP file.
#include <gtest/gtest.h>

#include <cstdio>

#include "app/bmp.h"
#include "app/dispatch.h"
#include "app/headless.h"
#include "protocol/quality_report.h"
#include "protocol/video_messages.h"
#include "support/child_process.h"

namespace stv {
namespace {

using agent::Channel;

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

using testing::FrameStart;

class DispatchTest : public ::testing::Test {
 protected:
  std::atomic<uint64_t> received_{0};
  std::mutex mutex_;
  SessionPicture picture_;
  int repaints_ = 0;
};

TEST_F(DispatchTest, InteractiveHandlerCountsAppliesAndRepaintsOnlyForPaintedTiles) {
  auto handler = MakeInteractiveHandler({&received_, &mutex_, &picture_, [this] { ++repaints_; }});
  handler(Channel::Video, FrameStart(2, 1, true));
  EXPECT_EQ(repaints_, 0);  // a size change alone asks for no repaint
  const uint8_t pixel[4] = {0x33, 0x22, 0x11, 0};
  handler(Channel::Video, testing::Tile(1, 0, 1, 1, 0, pixel));  // raw, 1x1 at (1, 0)
  EXPECT_EQ(repaints_, 1);
  EXPECT_EQ(picture_.framebuffer[4 + 0], 0x33);
  handler(Channel::Video, {});  // empty: counted as malformed, no repaint
  handler(static_cast<Channel>(2), Bytes("xyz"));
  handler(static_cast<Channel>(3), Bytes("x"));
  EXPECT_EQ(repaints_, 1);
  EXPECT_EQ(picture_.messages, 3u);
  EXPECT_EQ(picture_.malformed, 1u);
  EXPECT_EQ(received_.load(), 14u + 20u + 0u + 3u + 1u);
}

TEST_F(DispatchTest, InteractiveHandlerPrintsClipboardAndMonitorNotices) {
  auto handler = MakeInteractiveHandler({&received_, &mutex_, &picture_, {}});
  ::testing::internal::CaptureStdout();
  handler(Channel::Control, Bytes(R"({"t":3,"data":"h\u00e9llo"})"));  // 6 bytes of UTF-8
  handler(Channel::Control, Bytes(R"({"t":3})"));                      // no data: nothing
  handler(Channel::Control, Bytes(R"({"t":9,"count":3,"index":1})"));
  handler(Channel::Control, Bytes(R"({"t":9,"count":2})"));
  handler(Channel::Control, Bytes("not json"));
  handler(Channel::Control, Bytes(R"({"t":4,"kbps":10})"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "[clipboard] 6 characters from the client\n"
            "[monitors] client has 3, showing 1\n"
            "[monitors] client has 2, showing 0\n");
  EXPECT_EQ(picture_.messages, 0u);  // control traffic never touches the video counters
}

TEST_F(DispatchTest, HeadlessHandlerKeepsTheLatestMonitorCountQuietly) {
  std::atomic<int32_t> monitors{0};
  auto handler = MakeHeadlessHandler({&received_, &mutex_, &picture_, &monitors});
  ::testing::internal::CaptureStdout();
  handler(Channel::Control, Bytes(R"({"t":9,"count":3})"));
  handler(Channel::Control, Bytes(R"({"t":3,"data":"ignored"})"));
  handler(Channel::Control, Bytes(R"({"t":9,"count":2})"));
  handler(Channel::Video, FrameStart(4, 4, false));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(monitors.load(), 2);
  EXPECT_EQ(picture_.frames, 1u);
  EXPECT_EQ(picture_.width, 4);
}

TEST(HeadlessReportTest, StatusLineReportAndVerdict) {
  SessionPicture picture;
  EXPECT_FALSE(HeadlessSessionOk(picture));
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
  picture.undecodable = 1;
  EXPECT_FALSE(HeadlessSessionOk(picture));
  picture.undecodable = 0;
  picture.malformed = 1;
  EXPECT_FALSE(HeadlessSessionOk(picture));
  picture.malformed = 0;
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
  const std::vector<uint8_t> pixels = {1, 2, 3, 4, 5, 6, 7, 8, 99};
  const std::string path = ::testing::TempDir() + "stv-bmp-test.bmp";
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
