#include "window/quality_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "protocol/quality_report.h"
#include "window_fixture.h"

namespace stv::testing {
namespace {

using ::testing::ElementsAre;

constexpr int64_t kSecond = 1000000000;

using QualityReportTest = WindowFixture;

TEST_F(QualityReportTest, FirstReportBeforeAnyPaint) {
  const ControlMessage report = BuildQualityReport(state, kSecond, 96);
  ControlMessage expected = MakeControlMessage(ControlKind::QualityReport);
  expected.preset = "High";
  EXPECT_EQ(report, expected);  // kbps 0, viewport 0 x 0, every other field default
}

TEST_F(QualityReportTest, RateIsBytesSinceTheLastReportOverTheElapsedTime) {
  state.lastReportNanos = 5 * kSecond;
  state.receivedBytes = 250000;
  EXPECT_EQ(BuildQualityReport(state, 7 * kSecond, 96).kbps, 1000);  // 2 Mbit over 2 s
  EXPECT_EQ(state.receivedBytes.load(), 0u);
  EXPECT_EQ(state.lastReportNanos, 7 * kSecond);

  state.receivedBytes = 1000;
  EXPECT_EQ(BuildQualityReport(state, 7 * kSecond + kSecond / 2, 96).kbps, 16);
  state.receivedBytes = 124;
  EXPECT_EQ(BuildQualityReport(state, 8 * kSecond + kSecond / 2, 96).kbps, 0);  // 0.992 truncates
}

TEST_F(QualityReportTest, NoRateWithoutElapsedTime) {
  state.lastReportNanos = 3 * kSecond;
  state.receivedBytes = 1000000;
  EXPECT_EQ(BuildQualityReport(state, 3 * kSecond, 96).kbps, 0);
  EXPECT_EQ(state.receivedBytes.load(), 0u);  // still taken: the interval restarts
  state.receivedBytes = 1000000;
  EXPECT_EQ(BuildQualityReport(state, 2 * kSecond, 96).kbps, 0);
}

TEST_F(QualityReportTest, RateSaturatesInsteadOfWrapping) {
  EXPECT_EQ(MeasuredKbps(UINT64_MAX, 1e-9), INT32_MAX);
  EXPECT_EQ(MeasuredKbps(125, 1.0), 1);
}

TEST_F(QualityReportTest, ViewportScalesWithDpi) {
  Paint(0, 100, 1000, 700);
  const ControlMessage at144 = BuildQualityReport(state, 0, 144);
  EXPECT_EQ(at144.vw, 1500);
  EXPECT_EQ(at144.vh, 900);
  const ControlMessage unknown = BuildQualityReport(state, 0, 0);
  EXPECT_EQ(unknown.vw, 1000);
  EXPECT_EQ(unknown.vh, 600);
  Paint(0, 0, 333, 1);
  EXPECT_EQ(BuildQualityReport(state, 0, 120).vw, 416);  // 416.25 truncates
}

TEST_F(QualityReportTest, CarriesPresetAndGray) {
  state.preset = QualityPreset::DataSaver;
  state.gray = true;
  const ControlMessage report = BuildQualityReport(state, 0, 96);
  EXPECT_EQ(report.preset, "DataSaver");
  EXPECT_TRUE(report.gray);
  EXPECT_EQ(report.fps, 0);
  EXPECT_EQ(report.lossPermille, 0);
  EXPECT_EQ(report.rttMs, 0);
  state.preset = static_cast<QualityPreset>(9);
  EXPECT_EQ(BuildQualityReport(state, 0, 96).preset, "High");
}

TEST_F(QualityReportTest, SentInViewOnlyModeToo) {
  state.viewOnly = true;
  SendQualityReport(state, 0, 96);
  EXPECT_THAT(Kinds(sent), ElementsAre(ControlKind::QualityReport));
}

TEST_F(QualityReportTest, ZeroHeightClientReportsZeroHeightViewport) {
  Paint(0, 0, 1000, 0);
  const ControlMessage report = BuildQualityReport(state, 0, 96);
  EXPECT_EQ(report.vw, 1000);
  EXPECT_EQ(report.vh, 0);
}

TEST_F(QualityReportTest, TimerTickReportsThenRetitles) {
  host.now = kSecond;
  OnTimerTick(state, host);
  EXPECT_THAT(Kinds(sent), ElementsAre(ControlKind::QualityReport));
  EXPECT_EQ(host.titles.size(), 1u);
  EXPECT_EQ(state.lastReportNanos, kSecond);
}

TEST_F(QualityReportTest, ResizeReportsTheLastPaintedRectangle) {
  Paint(0, 40, 1280, 760);
  OnResize(state, host);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].vw, 1280);
  EXPECT_EQ(sent[0].vh, 720);
  EXPECT_TRUE(host.titles.empty());
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
    // One second per report, so kbps is exactly the interval's bytes * 8 / 1000.
    now += kSecond;
    reportedBits += static_cast<uint64_t>(BuildQualityReport(state, now, 96).kbps) * 1000;
  };
  while (!done) report();
  reader.join();
  report();
  EXPECT_EQ(reportedBits, uint64_t{kAdds} * 125 * 8);
}

}  // namespace
}  // namespace stv::testing
