#include "window/quality_report.h"

#include <cmath>
#include <limits>

#include "protocol/quality_report.h"

namespace stv {
namespace {

// Truncates toward zero; values beyond the field (never reached by a real viewport)
// saturate instead of being undefined.
int32_t TruncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  if (value >= 2147483648.0) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value);
}

}  // namespace

ControlMessage BuildQualityReport(WindowState& state, int64_t nowNanos, int dpi) {
  const double elapsedSeconds = static_cast<double>(nowNanos - state.lastReportNanos) / 1000000000.0;
  state.lastReportNanos = nowNanos;
  const uint64_t bytes = state.receivedBytes.exchange(0);
  const double scale = dpi == 0 ? 1.0 : dpi / static_cast<double>(kBaseDpi);

  return MakeQualityReport(bytes, elapsedSeconds, state.preset, state.gray,
                           TruncateToInt32(state.pictureRect.Width() * scale),
                           TruncateToInt32(state.pictureRect.Height() * scale));
}

void SendQualityReport(WindowState& state, int64_t nowNanos, int dpi) {
  SendControlMessage(state, BuildQualityReport(state, nowNanos, dpi));
}

}  // namespace stv
