#include "window/quality_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "window_fixture.h"

namespace stv::testing {
namespace {

using ::testing::ElementsAre;

constexpr int64_t kSecond = 1000000000;

using QualityReportTest = WindowFixture;

TEST_F(QualityReportTest, RateCountsTheBytesSinceTheLastReport) {
  state.lastReportNanos = 5 * kSecond;
  state.receivedBytes = 250000;
  EXPECT_EQ(BuildQualityReport(state, 7 * kSecond, 96).kbps, 1000);  // 2 Mbit over 2 s
  EXPECT_EQ(state.receivedBytes.load(), 0u);
  EXPECT_EQ(state.lastReportNanos, 7 * kSecond);
  state.receivedBytes = 1000;
  EXPECT_EQ(BuildQualityReport(state, 7 * kSecond, 96).kbps, 0);  // no time has passed
  EXPECT_EQ(state.receivedBytes.load(), 0u);                      // but the interval restarts
}

TEST_F(QualityReportTest, ViewportIsThePictureRectangleScaledByDpi) {
  ControlMessage first = MakeControlMessage(ControlKind::QualityReport);
  first.preset = "High";
  EXPECT_EQ(BuildQualityReport(state, kSecond, 96), first);  // before any paint: kbps 0, viewport 0 x 0
  state.pictureRect = {0, 100, 1000, 700};
  const ControlMessage at144 = BuildQualityReport(state, 0, 144);
  EXPECT_EQ(at144.vw, 1500);
  EXPECT_EQ(at144.vh, 900);
  EXPECT_EQ(BuildQualityReport(state, 0, 0).vw, 1000);  // unknown DPI
  state.pictureRect = {0, 0, 333, 0};                   // client area of no height
  const ControlMessage flat = BuildQualityReport(state, 0, 120);
  EXPECT_EQ(flat.vw, 416);  // 416.25
  EXPECT_EQ(flat.vh, 0);
}

TEST_F(QualityReportTest, TickReportsThenRetitlesAndResizeOnlyReports) {
  state.pictureRect = {0, 40, 1280, 760};
  host.now = kSecond;
  OnTimerTick(state, host);
  OnResize(state, host);
  EXPECT_THAT(Kinds(sent), ElementsAre(ControlKind::QualityReport, ControlKind::QualityReport));
  EXPECT_EQ(sent[1].vw, 1280);  // the rectangle of the last paint
  EXPECT_EQ(host.titles.size(), 1u);
}

// The reader thread adds while the window thread reports: every byte is counted in
// exactly one report.
TEST_F(QualityReportTest, NoByteIsLostOrCountedTwiceAcrossReports) {
  constexpr int kAdds = 200000;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    for (int i = 0; i < kAdds; ++i) state.receivedBytes.fetch_add(125);
    done = true;
  });
  uint64_t reportedBits = 0;
  int64_t now = 0;
  auto report = [&] {
    now += kSecond;  // one second each, so kbps is exactly the interval's bytes * 8 / 1000
    reportedBits += static_cast<uint64_t>(BuildQualityReport(state, now, 96).kbps) * 1000;
  };
  while (!done) report();
  reader.join();
  report();
  EXPECT_EQ(reportedBits, uint64_t{kAdds} * 125 * 8);
}

}  // namespace
}  // namespace stv::testing
