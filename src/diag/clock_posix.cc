// POSIX clock services: sleep_for and localtime_r.
#include <chrono>
#include <ctime>
#include <thread>

#include "diag/clock.h"

namespace stv {

void SleepMilliseconds(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

LocalTime LocalTimeNow() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  const time_t seconds = static_cast<time_t>(ms / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  return {local.tm_year + 1900, local.tm_mon + 1,           local.tm_mday, local.tm_hour, local.tm_min,
          local.tm_sec,         static_cast<int>(ms % 1000)};
}

}  // namespace stv
