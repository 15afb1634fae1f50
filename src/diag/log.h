// Timestamped log lines on standard output, and the error texts of failed platform calls.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "diag/clock.h"

// The printf dialect the format checks apply; the build names another where the C library
// differs.
#ifndef STV_PRINTF_FORMAT
#define STV_PRINTF_FORMAT printf
#endif

namespace stv {

// The process-wide writer of "YYYY-MM-DD hh:mm:ss.mmm TAG message" lines.
// Any thread may log; a line is never mixed with another and is flushed at once.
class Logger {
 public:
  static Logger& Instance();

  void Info(const char* format, ...) __attribute__((format(STV_PRINTF_FORMAT, 2, 3)));
  void Warn(const char* format, ...) __attribute__((format(STV_PRINTF_FORMAT, 2, 3)));
  void Write(std::string_view tag, std::string_view message);

 private:
  Logger() = default;
  std::mutex mutex_;
};

// The whole printf-style text; empty when formatting fails or yields nothing.
std::string FormatString(const char* format, va_list args);

// "name failed (0x0000ABCD)".
std::string FormatStatusError(std::string_view name, uint32_t status);

// "YYYY-MM-DD hh:mm:ss.mmm".
std::string FormatLogTimestamp(const LocalTime& time);

}  // namespace stv
