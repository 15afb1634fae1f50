// The QualityReport the window sends once a second and whenever the view changes: the
// measured receive rate, the wanted preset and grayscale, and the viewport size.
#pragma once

#include <cstdint>

#include "protocol/control_message.h"
#include "window/window_state.h"

namespace stv {

// The DPI at which one window pixel is one viewport pixel; also assumed when the window
// cannot tell its DPI (0).
inline constexpr int kBaseDpi = 96;

// Builds the next report and starts a new measuring interval: the received-byte counter
// is taken and cleared in one exchange, and `nowNanos` becomes the last report time. The
// viewport is the picture rectangle scaled by dpi / 96.
ControlMessage BuildQualityReport(WindowState& state, int64_t nowNanos, int dpi);

// Builds the report and sends it. Sent in view-only mode as well.
void SendQualityReport(WindowState& state, int64_t nowNanos, int dpi);

}  // namespace stv
