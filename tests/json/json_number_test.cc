#include <cerrno>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "json/json.h"

namespace stv {
namespace {

std::optional<double> NumberOf(std::string_view text) {
  const std::optional<JsonValue> value = ParseJson(text);
  if (!value || value->type != JsonType::Number) return std::nullopt;
  return value->number;
}

// The documented lenient forms, the ends of the range, and what the strtod comparison below
// never generates: surrounding space, long mantissas, huge exponents, and what strtod takes
// but JSON does not. Overflow and underflow (a nonzero number whose nearest double is
// subnormal or zero) fail the parse; a zero is fine however it is written.
TEST(JsonNumberTest, StrtodFormsAndRangeErrors) {
  const std::pair<std::string_view, double> cases[] = {{"+5", 5.0},
                                                       {".5", 0.5},
                                                       {"5.", 5.0},
                                                       {"007", 7.0},
                                                       {"  42  ", 42.0},
                                                       {"123456789012345678901234567890", 1.2345678901234568e29},
                                                       {"1.7976931348623157e308", DBL_MAX},
                                                       {"2.2250738585072014e-308", DBL_MIN},
                                                       {"-2.2250738585072014e-308", -DBL_MIN},
                                                       {"0e-999", 0.0},
                                                       {"0.000e999", 0.0},
                                                       {"1e-300", 1e-300}};
  for (const auto& [text, value] : cases) EXPECT_EQ(NumberOf(text), value) << text;
  for (std::string_view text :
       {"0x10", "1f", "- 1", "1e5e5", "inf", "nan", "[-]", "1e999", "-1e999", "1e400", "1.7976931348623159e308",
        "1e-400", "-1e-400", "123.456e-789", "123e-10000000", "5e-324", "1e-310", "2.2250738585072009e-308"}) {
    EXPECT_FALSE(ParseJson(text)) << text;
  }
  EXPECT_TRUE(ParseJson("[1,-2,+3,.4]"));
}

// A random text from the bytes a number may contain, or, every other time, a
// well-formed number with up to 20 digits and an exponent reaching both ends of the
// double range.
std::string RandomNumberText(std::mt19937& random) {
  std::string text;
  if (random() % 2 == 0) {
    const char alphabet[] = "0123456789..eE+-";
    text.resize(1 + random() % 12);
    for (char& c : text) c = alphabet[random() % (sizeof(alphabet) - 1)];
    return text;
  }
  if (random() % 3 == 0) text += (random() % 2 == 0) ? '-' : '+';
  const int digits = 1 + static_cast<int>(random() % 20);
  const int point = static_cast<int>(random() % (digits + 1));
  for (int i = 0; i < digits; ++i) {
    if (i == point) text += '.';
    text += static_cast<char>('0' + random() % 10);
  }
  text += 'e';
  text += std::to_string(static_cast<int>(random() % 680) - 345);
  return text;
}

// Whatever glibc's strtod accepts in the "C" locale, the parser accepts with the same
// value. The only difference allowed is the documented one just below DBL_MIN.
TEST(JsonNumberTest, AgreesWithStrtod) {
  ASSERT_STREQ(localeconv()->decimal_point, ".");
  std::mt19937 random(20240601);
  int accepted = 0;
  for (int round = 0; round < 200000; ++round) {
    const std::string text = RandomNumberText(random);
    errno = 0;
    char* end = nullptr;
    const double expected = std::strtod(text.c_str(), &end);
    const bool range_error = errno == ERANGE;
    const bool strtod_accepts = end != text.c_str() && end == text.c_str() + text.size() && !range_error;
    const std::optional<double> parsed = NumberOf(text);
    if (range_error && parsed && std::fabs(*parsed) == DBL_MIN) continue;
    ASSERT_EQ(parsed.has_value(), strtod_accepts) << text;
    if (parsed) {
      ++accepted;
      ASSERT_EQ(*parsed, expected) << text;
      ASSERT_EQ(std::signbit(*parsed), std::signbit(expected)) << text;
    }
  }
  EXPECT_GT(accepted, 50000) << "the generator should mostly produce valid numbers";
}

// Puts the C library's numeric locale back when the test ends, however it ends.
struct RestoreNumericLocale {
  std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  ~RestoreNumericLocale() { std::setlocale(LC_NUMERIC, saved.c_str()); }
};

// Tries the installed comma-decimal locales, then builds de_DE into the build tree with
// localedef (the sources ship with Debian's locales package).
bool SetCommaDecimalLocale() {
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE", "fr_FR", "es_ES.UTF-8",
                           "it_IT.UTF-8", "ru_RU.UTF-8", "de-DE" /* Windows */}) {
    if (std::setlocale(LC_NUMERIC, name)) return true;
  }
  const std::string root = std::string(STV_BINARY_DIR) + "/test-locales";
  const std::string built = root + "/de_DE.UTF-8";
  if (!std::filesystem::exists(built + "/LC_NUMERIC")) {
    std::error_code error;
    std::filesystem::create_directories(root, error);
    const std::string command = "localedef -i de_DE -f UTF-8 '" + built + "' >/dev/null 2>&1";
    if (error || std::system(command.c_str()) != 0) return false;
  }
  // putenv, not setenv, which Windows lacks: the one variable glibc reads locales from.
  static char locpath[4096];
  std::snprintf(locpath, sizeof locpath, "LOCPATH=%s", root.c_str());
  putenv(locpath);
  const bool set = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  locpath[8] = '\0';  // empty again: the default places
  return set;
}

TEST(JsonNumberTest, IgnoresACommaDecimalLocale) {
  RestoreNumericLocale restore;
  if (!SetCommaDecimalLocale()) {
    GTEST_SKIP() << "no comma-decimal locale is installed and localedef could not build one";
  }
  ASSERT_STREQ(localeconv()->decimal_point, ",");
  EXPECT_EQ(NumberOf("1.5"), 1.5);
  EXPECT_EQ(NumberOf("-2.25e2"), -225.0);
  EXPECT_FALSE(ParseJson("1,5"));
}

}  // namespace
}  // namespace stv
