// Headless sessions of the real viewer against the simulated agent.
#include <gtest/gtest.h>

#include <fstream>

#include "agent_session.h"
#include "json/json.h"

namespace stv::testing {
namespace {

// One agent serves all the runs: the refused ones, then a whole session without a pin.
TEST(HeadlessSessionTest, PinsAndTokenAreCheckedThenASessionReportsSavesProbesAndAnnouncesItsWishes) {
  const TempDir dir;
  constexpr char kToken[] = "token-7f3a9c";
  Agent agent(dir, {"--sessions", "4", "--token", kToken, "--scene", "testcard", "--encoding", "mix", "--size",
                    "640x360", "--record", dir / "record.jsonl", "--save-final", dir / "final.bmp"});
  ASSERT_TRUE(agent.ready()) << agent.process.Out() << agent.process.Err();
  std::string upper = agent.deviceId;  // ids are compared exactly
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto viewer = [&](std::string token, std::vector<std::string> more) {
    more.insert(more.begin(), {"127.0.0.1", "--port", agent.port, "--token", token, "--headless"});
    const ViewerRun run = RunViewer(dir, more);
    EXPECT_EQ((run.out + run.err).find(kToken), std::string::npos) << "the token shows in the output";
    return run;
  };
  const std::string refused = "could not connect to 127.0.0.1:" + agent.port + " (";
  for (const auto& [pin, reason] :
       {std::pair<std::vector<std::string>, std::string>{
            {"--pin", upper},
            "device id mismatch: expected " + upper + ", the machine that answered is " + agent.deviceId},
        {{}, "no device id to pin against (pass --pin <deviceId>, or --insecure-no-pin)"}}) {
    const ViewerRun run = viewer(kToken, pin);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, refused + reason + ")\n");
  }
  const ViewerRun wrongToken = viewer("not-the-token", {"--pin", agent.deviceId, "--seconds", "3"});
  EXPECT_EQ(wrongToken.exitCode, 1);
  EXPECT_TRUE(wrongToken.out.ends_with("\nHEADLESS SESSION FAILED\n")) << wrongToken.out;

  const ViewerRun run = viewer(kToken, {"--insecure-no-pin", "--viewport", "800x600", "--preset", "balanced", "--gray",
                                        "--save", dir / "view.bmp", "--probe-input", "100,200"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  const auto status = StatusLines(run.out);
  ASSERT_EQ(status.size(), 5u) << run.out;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(status[i][0] + " " + status[i][1] + "x" + status[i][2], std::to_string(i + 1) + " 640x360");
  }
  for (const std::string& line : std::vector<std::string>{
           " WRN [tls] NOT PINNED: connected to device " + agent.deviceId +
               " without verifying it was the expected one\n",
           "connected to 127.0.0.1:" + agent.port + " (" + agent.deviceId + ")\n",
           "\ninput probe      : sent a move to normalized (100, 200)\n",
           "\nclient monitors  : 2\nframebuffer      : 640x360\n", "\nsaved            : " + dir / "view.bmp" + "\n"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;
  }
  EXPECT_TRUE(run.out.ends_with("\nHEADLESS SESSION OK\n")) << run.out;

  // The agent ends its last session when the viewer leaves, and then writes its own model of the screen.
  ASSERT_TRUE(agent.process.Wait().has_value());
  const auto saved = ReadFileBytes(dir / "view.bmp");
  ASSERT_EQ(saved.size(), 54u + 640 * 360 * 4);
  EXPECT_TRUE(saved == ReadFileBytes(dir / "final.bmp")) << "the saved picture differs from the agent's screen";

  // A report at start, then one a second, each with the wishes from the command line; and the
  // probe, a move with no button.
  std::vector<JsonValue> reports;
  int probes = 0;
  std::ifstream record(dir / "record.jsonl");  // one line per message: {"recvMs":..,"message":{..}}
  for (std::string line; std::getline(record, line);) {
    const auto parsed = ParseJson(line);
    ASSERT_TRUE(parsed && parsed->Find("message")) << line;
    const JsonValue& message = *parsed->Find("message");
    if (GetJsonInt(message, "t") == 4) reports.push_back(message);
    if (GetJsonInt(message, "t") != 2) continue;
    ++probes;
    EXPECT_TRUE(GetJsonInt(message, "x") == 100 && GetJsonInt(message, "y") == 200 && !GetJsonBool(message, "down"));
    EXPECT_TRUE(message.Find("btn") != nullptr && message.Find("btn")->type == JsonType::Null);
  }
  EXPECT_EQ(probes, 1);
  ASSERT_GE(reports.size(), 5u);
  for (const JsonValue& report : reports) {
    EXPECT_EQ(GetJsonString(report, "preset"), "Balanced");
    EXPECT_TRUE(GetJsonBool(report, "gray") && GetJsonInt(report, "vw") == 800 && GetJsonInt(report, "vh") == 600);
  }
}

// The saved picture is the agent's own model of its screen, over plaintext and pinned TLS, with
// tiles in the lossless containers a system decoder reads (BMP, icon, GIF, TIFF, lossless
// JPEG XR; a JPEG decoder may round differently).
TEST(HeadlessSessionTest, SavedPictureIsTheAgentsScreen) {
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plaintext");
    const TempDir dir;
    Agent agent(
        dir,
        {"--scene", "testcard", "--encoding", "containers", "--size", "320x200", "--save-final", dir / "final.bmp"},
        tls);
    ASSERT_TRUE(agent.ready()) << agent.process.Err();
    const ViewerRun run =
        RunViewer(dir, agent.Session({"--token", "t", "--headless", "--seconds", "2", "--save", dir / "view.bmp"}));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    ASSERT_TRUE(agent.process.Wait().has_value());
    const auto saved = ReadFileBytes(dir / "view.bmp");
    EXPECT_EQ(saved.size(), 54u + 320 * 200 * 4);
    EXPECT_TRUE(saved == ReadFileBytes(dir / "final.bmp")) << "the saved picture differs from the agent's screen";
  }
}

}  // namespace
}  // namespace stv::testing
