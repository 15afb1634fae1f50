// The QualityReport the supporter sends once a second: measured rate and wanted quality.
#pragma once

#include <cstdint>

#include "protocol/control_message.h"
#include "protocol/quality_preset.h"

namespace stv {

// Kilobits per second for `bytes` received over `elapsedSeconds`, truncated toward zero;
// 0 when no time has passed. Saturates rather than overflowing on absurd inputs.
int32_t MeasuredKbps(uint64_t bytes, double elapsedSeconds);

// A QualityReport with kbps measured as above, the preset's name, gray and the viewport;
// fps, lossPermille and rttMs stay 0 and every other field at its default.
ControlMessage MakeQualityReport(uint64_t bytes, double elapsedSeconds, QualityPreset preset, bool gray,
                                 int32_t viewportWidth, int32_t viewportHeight);

}  // namespace stv
