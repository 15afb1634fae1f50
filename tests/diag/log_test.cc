#include "diag/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace stv {
namespace {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatString(format, args);
  va_end(args);
  return text;
}

TEST(FormatTest, StatusErrorsAndFormattedTexts) {
  EXPECT_EQ(FormatStatusError("X", 255), "X failed (0x000000FF)");
  EXPECT_EQ(FormatStatusError("InitializeSecurityContext", 0x80090318u),
            "InitializeSecurityContext failed (0x80090318)");
  EXPECT_EQ(Format("%s", ""), "");
  const std::string big(5000, 'x');
  EXPECT_EQ(Format("%s! %zu", big.c_str(), size_t{0}), big + "! 0");
}

TEST(FormatTest, TimestampPadsEveryField) {
  EXPECT_EQ(FormatLogTimestamp({2026, 3, 9, 9, 5, 7, 4}), "2026-03-09 09:05:07.004");
  EXPECT_EQ(FormatLogTimestamp({12026, 12, 31, 23, 59, 59, 999}), "12026-12-31 23:59:59.999");
}

TEST(LoggerTest, LinesFromManyThreadsNeverMix) {
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) Logger::Instance().Info("[test] thread %d line %d %s", t, i, "payload");
    });
  }
  for (auto& thread : threads) thread.join();
  Logger::Instance().Warn("[transport] write failed; closing the session");
  const std::string out = testing::internal::GetCapturedStdout();

  const std::regex line(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (INF \[test\] thread \d line \d+ payload|WRN \[transport\] write failed; closing the session))");
  std::istringstream lines(out);
  int count = 0;
  for (std::string text; std::getline(lines, text); ++count) EXPECT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_TRUE(out.ends_with('\n'));
  EXPECT_EQ(count, 801);
}

}  // namespace
}  // namespace stv
