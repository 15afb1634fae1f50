#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>

#include "support/agent_sim.h"

namespace stv {
namespace {

std::optional<Options> Parse(std::vector<std::string> arguments) { return ParseCommandLine(arguments); }

TEST(CommandLineTest, DefaultsAndHostSelection) {
  auto options = Parse({"first", "second"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->host, "second");
  EXPECT_EQ(options->port, 7443);
  EXPECT_EQ(options->seconds, 5);
  EXPECT_EQ(options->preset, QualityPreset::High);
  EXPECT_EQ(options->probeX, 32768);
  EXPECT_EQ(options->probeY, 32768);
  EXPECT_FALSE(options->headless || options->viewOnly || options->gray || options->probeInput);
  EXPECT_FALSE(options->security.plaintext || options->security.insecureNoPin);

  options = Parse({"-weird"});  // a single dash is just a host name
  ASSERT_TRUE(options);
  EXPECT_EQ(options->host, "-weird");
}

TEST(CommandLineTest, NumbersFollowStrtolWithoutErrors) {
  EXPECT_EQ(Parse({"h", "--port", "70000"})->port, 4464);
  EXPECT_EQ(Parse({"h", "--port", "abc"})->port, 0);
  EXPECT_EQ(Parse({"h", "--port", "-1"})->port, 65535);
  EXPECT_EQ(Parse({"h", "--port", " +8080tail"})->port, 8080);
  EXPECT_EQ(Parse({"h", "--seconds", "abc"})->seconds, 0);
  EXPECT_EQ(Parse({"h", "--seconds", "99999999999"})->seconds, 2147483647);
  EXPECT_EQ(Parse({"h", "--seconds", "-99999999999"})->seconds, -2147483647 - 1);
  EXPECT_EQ(Parse({"h", "--port", "99999999999"})->port, 65535);
}

TEST(CommandLineTest, PresetsPairsAndFlags) {
  EXPECT_EQ(Parse({"h", "--preset", "DATASAVER"})->preset, QualityPreset::DataSaver);
  EXPECT_EQ(Parse({"h", "--preset", "Balanced"})->preset, QualityPreset::Balanced);
  EXPECT_EQ(Parse({"h", "--preset", "fast"})->preset, QualityPreset::High);
  EXPECT_EQ(Parse({"h", "--preset", ""})->preset, QualityPreset::High);

  auto options = Parse(
      {"h", "--viewport", "x720", "--probe-input", "100,", "--headless", "--gray", "--save", "out.bmp", "--view-only"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->viewportWidth, 0);
  EXPECT_EQ(options->viewportHeight, 720);
  EXPECT_TRUE(options->probeInput);
  EXPECT_EQ(options->probeX, 100);
  EXPECT_EQ(options->probeY, 0);
  EXPECT_TRUE(options->headless && options->gray && options->viewOnly);
  EXPECT_EQ(options->savePath, "out.bmp");

  options = Parse({"h", "--viewport", "1280x720x5", "--probe-input", "1,2,3"});
  EXPECT_EQ(options->viewportWidth, 1280);
  EXPECT_EQ(options->viewportHeight, 720);  // strtol stops at the second x
  EXPECT_EQ(options->probeY, 2);

  // An option's value is taken whatever it looks like.
  options = Parse({"h", "--token", "--headless", "--pin", "abc", "--insecure-no-pin", "--insecure-plaintext"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->security.token, "--headless");
  EXPECT_FALSE(options->headless);
  EXPECT_EQ(options->security.pin, "abc");
  EXPECT_TRUE(options->security.insecureNoPin && options->security.plaintext);
}

// The names and the hotkey's cycle show end to end; out-of-range values fall back to High.
TEST(QualityPresetTest, UnknownValuesAreHigh) {
  EXPECT_STREQ(QualityPresetName(QualityPreset::DataSaver), "DataSaver");
  EXPECT_STREQ(QualityPresetName(static_cast<QualityPreset>(7)), "High");
  EXPECT_EQ(NextQualityPreset(static_cast<QualityPreset>(-3)), QualityPreset::High);
}

// The real program: usage text on standard error, exit code 2, nothing on standard output.
testing::CommandResult RunViewer(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), testing::ViewerPath());
  return testing::RunCommand(arguments);
}

TEST(ViewerProcessTest, BadCommandLinesPrintUsageAndExitTwo) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{},
                                             {""},
                                             {"--headless"},  // no host, an empty one
                                             {"--port"},
                                             {"host", "--port"},  // a value missing
                                             {"host", "--bogus"},
                                             {"host", "--"},                      // two dashes are an option too
                                             {"host", "--viewport", "1280X720"},  // upper-case X is no separator
                                             {"host", "--viewport", "1280"},
                                             {"host", "--viewport", ""},
                                             {"host", "--probe-input", "100"},
                                             {"host", "--probe-input", ""}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const testing::CommandResult result = RunViewer(arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.errors, kUsageText);
    EXPECT_EQ(result.output, "");
  }
}

TEST(ViewerProcessTest, UnreachableHostExitsOne) {
  const testing::CommandResult result = RunViewer({"host.invalid", "--port", "7443", "--insecure-plaintext"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(result.errors.starts_with("could not connect to host.invalid:7443 (getaddrinfo failed (WSA "))
      << result.errors;
}

}  // namespace
}  // namespace stv
