// The system's clock services the session needs: a pause and the local wall-clock time.
// Each platform supplies them with its own calls (Sleep and GetLocalTime on Windows).
#pragma once

#include <cstdint>

namespace stv {

// Blocks the calling thread for about `milliseconds`.
void SleepMilliseconds(uint32_t milliseconds);

struct LocalTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

LocalTime LocalTimeNow();

}  // namespace stv
