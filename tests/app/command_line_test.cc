#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>

#include "support/agent_sim.h"

namespace stv {
namespace {

std::optional<Options> Parse(std::vector<std::string> arguments) { return ParseCommandLine(arguments); }

TEST(CommandLineTest, DefaultsAndNumbersThatFollowStrtolWithoutErrors) {
  const auto options = Parse({"first", "-weird"});  // the last plain word wins, even with a single dash
  ASSERT_TRUE(options);
  EXPECT_EQ(options->host, "-weird");
  EXPECT_TRUE(options->port == 7443 && options->seconds == 5 && options->preset == QualityPreset::High);
  EXPECT_TRUE(options->probeX == 32768 && options->probeY == 32768);
  EXPECT_EQ(Parse({"h", "--port", "70000"})->port, 4464);
  EXPECT_EQ(Parse({"h", "--port", "abc"})->port, 0);
  EXPECT_EQ(Parse({"h", "--port", "-1"})->port, 65535);
  EXPECT_EQ(Parse({"h", "--port", " +8080tail"})->port, 8080);
  EXPECT_EQ(Parse({"h", "--seconds", "99999999999"})->seconds, 2147483647);
  EXPECT_EQ(Parse({"h", "--seconds", "-99999999999"})->seconds, -2147483647 - 1);
}

TEST(CommandLineTest, PresetsPairsAndFlags) {
  EXPECT_EQ(Parse({"h", "--preset", "DATASAVER"})->preset, QualityPreset::DataSaver);
  EXPECT_EQ(Parse({"h", "--preset", "Balanced"})->preset, QualityPreset::Balanced);
  EXPECT_EQ(Parse({"h", "--preset", "fast"})->preset, QualityPreset::High);
  // The names and the hotkey's cycle show end to end; out-of-range values fall back to High.
  EXPECT_STREQ(QualityPresetName(QualityPreset::DataSaver), "DataSaver");
  EXPECT_STREQ(QualityPresetName(static_cast<QualityPreset>(7)), "High");
  EXPECT_EQ(NextQualityPreset(static_cast<QualityPreset>(-3)), QualityPreset::High);
  auto options = Parse({"h", "--viewport", "x720", "--probe-input", "100,", "--gray", "--view-only"});
  ASSERT_TRUE(options);
  EXPECT_EQ(std::vector<int32_t>({options->viewportWidth, options->viewportHeight, options->probeX, options->probeY}),
            std::vector<int32_t>({0, 720, 100, 0}));
  EXPECT_TRUE(options->probeInput && options->gray && options->viewOnly && !options->headless);
  options = Parse({"h", "--viewport", "1280x720x5", "--probe-input", "1,2,3"});  // strtol stops at the second x
  EXPECT_EQ(std::vector<int32_t>({options->viewportWidth, options->viewportHeight, options->probeY}),
            std::vector<int32_t>({1280, 720, 2}));
  // An option's value is taken whatever it looks like.
  options = Parse({"h", "--token", "--headless", "--pin", "abc", "--insecure-no-pin", "--insecure-plaintext"});
  ASSERT_TRUE(options);
  EXPECT_TRUE(options->security.token == "--headless" && !options->headless && options->security.pin == "abc");
  EXPECT_TRUE(options->security.insecureNoPin && options->security.plaintext);
}

// The real program: usage text on standard error, exit code 2, nothing on standard output.
TEST(ViewerProcessTest, BadCommandLinesPrintUsageAndExitTwo) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{},
                                             {"--headless"},                      // no host
                                             {"host", "--port"},                  // a value missing
                                             {"host", "--"},                      // two dashes are an option too
                                             {"host", "--viewport", "1280X720"},  // upper-case X is no separator
                                             {"host", "--probe-input", ""}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    std::vector<std::string> argv = testing::ViewerCommand();
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const testing::CommandResult result = testing::RunCommand(argv);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(testing::Lines(result.errors), kUsageText);
    EXPECT_EQ(result.output, "");
  }
}

}  // namespace
}  // namespace stv
