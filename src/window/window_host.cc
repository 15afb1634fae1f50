#include "window/window_host.h"

#include "window/quality_report.h"
#include "window/session_title.h"

namespace stv {

void UpdateTitle(const WindowState& state, WindowHost& host) { host.SetTitle(SessionTitle(state)); }

void ReportQuality(WindowState& state, WindowHost& host) { SendQualityReport(state, host.NowNanos(), host.Dpi()); }

void OnTimerTick(WindowState& state, WindowHost& host) {
  ReportQuality(state, host);
  UpdateTitle(state, host);
}

void OnResize(WindowState& state, WindowHost& host) { ReportQuality(state, host); }

}  // namespace stv
