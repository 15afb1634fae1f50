// Windows clock services: Sleep and GetLocalTime.
#include <windows.h>

#include "diag/clock.h"

namespace stv {

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

LocalTime LocalTimeNow() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  return {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds};
}

}  // namespace stv
