#include "window/quality_report.h"

#include <cmath>
#include <limits>

namespace stv {
namespace {

// Truncates toward zero; values beyond the field (never reached by a real rate or
// viewport) saturate instead of being undefined.
int32_t TruncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  if (value >= 2147483648.0) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value);
}

}  // namespace

int32_t KilobitsPerSecond(uint64_t bytes, double seconds) {
  if (!(seconds > 0.0)) return 0;
  return TruncateToInt32(static_cast<double>(bytes) * 8.0 / 1000.0 / seconds);
}

ControlMessage BuildQualityReport(WindowState& state, int64_t nowNanos, int dpi) {
  const double elapsedSeconds = static_cast<double>(nowNanos - state.lastReportNanos) / 1000000000.0;
  state.lastReportNanos = nowNanos;
  const uint64_t bytes = state.receivedBytes.exchange(0);
  const double scale = dpi == 0 ? 1.0 : dpi / static_cast<double>(kBaseDpi);

  ControlMessage report = MakeControlMessage(ControlKind::QualityReport);
  report.kbps = KilobitsPerSecond(bytes, elapsedSeconds);
  report.preset = QualityPresetName(state.preset);
  report.gray = state.gray;
  report.vw = TruncateToInt32(state.pictureRect.Width() * scale);
  report.vh = TruncateToInt32(state.pictureRect.Height() * scale);
  return report;
}

void SendQualityReport(WindowState& state, int64_t nowNanos, int dpi) {
  SendControlMessage(state, BuildQualityReport(state, nowNanos, dpi));
}

}  // namespace stv
