#include "protocol/quality_report.h"

#include <cmath>
#include <limits>

namespace stv {

int32_t MeasuredKbps(uint64_t bytes, double elapsedSeconds) {
  if (!(elapsedSeconds > 0.0)) return 0;
  const double kbps = std::trunc(static_cast<double>(bytes) * 8.0 / 1000.0 / elapsedSeconds);
  if (kbps >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(kbps);
}

ControlMessage MakeQualityReport(uint64_t bytes, double elapsedSeconds, QualityPreset preset, bool gray,
                                 int32_t viewportWidth, int32_t viewportHeight) {
  ControlMessage report = MakeControlMessage(ControlKind::QualityReport);
  report.kbps = MeasuredKbps(bytes, elapsedSeconds);
  report.preset = QualityPresetName(preset);
  report.gray = gray;
  report.vw = viewportWidth;
  report.vh = viewportHeight;
  return report;
}

}  // namespace stv
