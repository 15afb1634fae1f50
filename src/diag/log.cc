#include "diag/log.h"

#include <cstdio>
#include <vector>

namespace stv {

Logger& Logger::Instance() {
  // Never destroyed: threads may still log while static objects go away at exit.
  static Logger* instance = new Logger();
  return *instance;
}

void Logger::Info(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatString(format, args);
  va_end(args);
  Write("INF", message);
}

void Logger::Warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatString(format, args);
  va_end(args);
  Write("WRN", message);
}

void Logger::Write(std::string_view tag, std::string_view message) {
  std::string line = FormatLogTimestamp(LocalTimeNow());
  line.reserve(line.size() + tag.size() + message.size() + 3);
  line += ' ';
  line += tag;
  line += ' ';
  line += message;
  line += '\n';
  // Only the output itself is serialised; formatting happens outside the lock.
  std::lock_guard<std::mutex> lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::string FormatString(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return {};
  std::vector<char> buffer(static_cast<size_t>(length) + 1);
  if (std::vsnprintf(buffer.data(), buffer.size(), format, args) != length) return {};
  return std::string(buffer.data(), static_cast<size_t>(length));
}

std::string FormatStatusError(std::string_view name, uint32_t status) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
  std::string text(name);
  text += " failed (";
  text += code;
  text += ')';
  return text;
}

std::string FormatLogTimestamp(const LocalTime& time) {
  char buffer[64];  // roomier than the text needs, so no year can truncate it
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", time.year, time.month, time.day, time.hour,
                time.minute, time.second, time.millisecond);
  return buffer;
}

}  // namespace stv
