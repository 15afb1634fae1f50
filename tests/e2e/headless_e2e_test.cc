// Headless sessions of the real viewer against the simulated agent, over TLS and plaintext.
#include <gtest/gtest.h>

#include "agent_session.h"

namespace stv::testing {
namespace {

TEST(HeadlessSessionTest, TlsSessionReportsSavesThePictureAndAnnouncesItsWishes) {
  const TempDir dir;
  Agent agent(dir, {"--token", "s3cret", "--scene", "testcard", "--encoding", "mix", "--size", "640x360", "--record",
                    dir / "record.jsonl", "--save-final", dir / "final.bmp"});
  ASSERT_TRUE(agent.ready()) << agent.process.Out() << agent.process.Err();

  const ViewerRun run = RunViewer(dir, agent.Session({"--token", "s3cret", "--headless", "--viewport", "800x600",
                                                      "--preset", "balanced", "--gray", "--save", dir / "view.bmp"}));
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("connected to 127.0.0.1:" + agent.port + " (" + agent.deviceId + ")\n"), std::string::npos)
      << run.out;

  const auto status = StatusLines(run.out);
  ASSERT_EQ(status.size(), 5u) << run.out;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(status[i][0], std::to_string(i + 1));
    EXPECT_EQ(status[i][1] + "x" + status[i][2], "640x360");
  }
  EXPECT_NE(run.out.find("\nclient monitors  : 2\nframebuffer      : 640x360\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("saved            : " + dir / "view.bmp" + "\n"), std::string::npos);
  EXPECT_TRUE(run.out.ends_with("\nHEADLESS SESSION OK\n")) << run.out;

  // The agent ends its session when the viewer leaves, and then writes its own model of the screen.
  ASSERT_TRUE(agent.process.Wait().has_value());
  const auto saved = ReadFileBytes(dir / "view.bmp");
  ASSERT_EQ(saved.size(), 54u + 640 * 360 * 4);
  EXPECT_TRUE(saved == ReadFileBytes(dir / "final.bmp")) << "the saved picture differs from the agent's screen";

  // A first report at start, then one a second, each with the wishes from the command line.
  std::vector<JsonValue> reports;
  for (const auto& message : RecordedMessages(dir / "record.jsonl")) {
    if (GetJsonInt(message, "t") == 4) reports.push_back(message);
  }
  ASSERT_GE(reports.size(), 5u);
  for (const JsonValue& report : reports) {
    EXPECT_EQ(GetJsonString(report, "preset"), "Balanced");
    EXPECT_TRUE(GetJsonBool(report, "gray"));
    EXPECT_EQ(GetJsonInt(report, "vw"), 800);
    EXPECT_EQ(GetJsonInt(report, "vh"), 600);
  }
  EXPECT_EQ(GetJsonInt(reports[0], "kbps"), 0);
  // The first timed report covers everything received so far, as does the first status line.
  const double kbps = static_cast<double>(GetJsonInt(reports[1], "kbps"));
  EXPECT_GT(kbps, 0);
  EXPECT_NEAR(kbps, std::stod(status[0][6]) * 1024 * 8 / 1000, 8 * 1024 / 1000.0 + 1);
}

// A save that cannot be written is reported, but does not change a good verdict.
TEST(HeadlessSessionTest, PlaintextSessionWithAnInputProbeAndAnUnwritableSave) {
  const TempDir dir;
  Agent agent(dir, {"--scene", "desktop", "--encoding", "mix", "--size", "800x600", "--record", dir / "record.jsonl"},
              /*useTls=*/false);
  ASSERT_TRUE(agent.ready()) << agent.process.Err();
  const std::string save = dir / "no/such/dir/view.bmp";
  const ViewerRun run =
      RunViewer(dir, agent.Session({"--headless", "--seconds", "2", "--probe-input", "100,200", "--save", save}));
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "could not write " + save + "\n");
  EXPECT_NE(run.out.find("connected to 127.0.0.1:" + agent.port + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("input probe      : sent a move to normalized (100, 200)\n"), std::string::npos);
  EXPECT_TRUE(run.out.ends_with("\nHEADLESS SESSION OK\n")) << run.out;

  ASSERT_TRUE(agent.process.Wait().has_value());
  bool probeSeen = false;
  for (const auto& message : RecordedMessages(dir / "record.jsonl")) {
    if (GetJsonInt(message, "t") != 2) continue;
    EXPECT_EQ(GetJsonInt(message, "x"), 100);
    EXPECT_EQ(GetJsonInt(message, "y"), 200);
    EXPECT_FALSE(GetJsonBool(message, "down"));
    ASSERT_NE(message.Find("btn"), nullptr);
    EXPECT_EQ(message.Find("btn")->type, JsonType::Null);
    probeSeen = true;
  }
  EXPECT_TRUE(probeSeen);
}

struct FaultCase {
  const char* fault;
  const char* reportLine;  // a line the report must hold
  int seconds;
};

class HeadlessFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(HeadlessFaultTest, BadStreamsFailTheVerdict) {
  const TempDir dir;
  Agent agent(dir, {"--fault", GetParam().fault, "--scene", "testcard", "--size", "320x200"});
  ASSERT_TRUE(agent.ready()) << agent.process.Err();
  const ViewerRun run = RunViewer(dir, agent.Session({"--headless", "--seconds", std::to_string(GetParam().seconds),
                                                      "--save", dir / "missing/dir/view.bmp"}));
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_EQ(StatusLines(run.out).size(), static_cast<size_t>(GetParam().seconds)) << run.out;  // none for 0 s
  EXPECT_NE(run.out.find(GetParam().reportLine), std::string::npos) << run.out;
  EXPECT_TRUE(run.out.ends_with("\nHEADLESS SESSION FAILED\n")) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Faults, HeadlessFaultTest,
                         ::testing::Values(FaultCase{"heartbeats-only", "frames/keyframes : 0 / 0\n", 2},
                                           FaultCase{"heartbeats-only", "\nclient monitors  : ", 0},
                                           FaultCase{"malformed-video", "(1 malformed)\n", 2},
                                           FaultCase{"undecodable-tile", "painted, 1 undecodable\n", 2}),
                         [](const auto& info) {
                           return FaultTestName(info.param.fault, info.param.seconds == 0 ? "ZeroSeconds" : "");
                         });

}  // namespace
}  // namespace stv::testing
