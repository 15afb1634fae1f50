#include "window/x11_error_filter.h"

#include <X11/Xlib.h>
#include <X11/Xproto.h>

namespace stv {
namespace {

XErrorHandler previousHandler = nullptr;

int FilterErrors(Display* display, XErrorEvent* error) {
  if (error->error_code == BadWindow && error->request_code == X_SendEvent) return 0;
  return previousHandler ? previousHandler(display, error) : 0;
}

}  // namespace

void IgnoreLateWakeupErrors() {
  static const bool installed = [] {
    previousHandler = XSetErrorHandler(FilterErrors);
    return true;
  }();
  (void)installed;
}

}  // namespace stv
