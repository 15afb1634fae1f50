// The real stv-view against the real stv-agent-sim on loopback: helpers shared by the
// end-to-end tests.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "json/json.h"
#include "support/agent_sim.h"

namespace stv::testing {

struct ViewerRun {
  int exitCode = -1;
  std::string out;
  std::string err;
  long peakRssKb = 0;  // from the kernel's accounting of the child: no peak is missed
};

// Runs stv-view to its end; a run that does not end within `limit` fails the test. The limit
// only stops a hang: no run is meant to come near it, the longest waits out a 15 s idle limit.
inline ViewerRun RunViewer(const TempDir& dir, const std::vector<std::string>& arguments,
                           std::chrono::seconds limit = std::chrono::seconds(60)) {
  std::vector<std::string> argv = {ViewerPath()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ChildProcess viewer;
  ViewerRun run;
  if (!viewer.Start(PlanWithOutput(argv, dir / "viewer"), run.err)) {
    ADD_FAILURE() << run.err;
    return run;
  }
  const auto code = viewer.Wait(limit);
  EXPECT_TRUE(code.has_value()) << "stv-view did not end within " << limit.count() << " s";
  viewer.Kill();
  run.exitCode = code.value_or(-1);
  run.peakRssKb = viewer.PeakRssKb();
  run.out = viewer.Out();
  run.err = viewer.Err();
  return run;
}

// The decoded control messages of an agent's --record file.
inline std::vector<JsonValue> RecordedMessages(const std::string& path) {
  std::vector<JsonValue> messages;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    auto value = ParseJson(line);
    if (value && value->Find("message")) messages.push_back(*value->Find("message"));
  }
  return messages;
}

// The fields of each status line in order: seconds, width, height, frames, tiles, beats, KB.
inline std::vector<std::vector<std::string>> StatusLines(const std::string& out) {
  static const std::regex status(
      R"(\n  t\+(\d+)s  (\d+)x(\d+)  (\d+) frames  (\d+) tiles  (\d+) beats  (\d+) KB(?=\n))");
  std::vector<std::vector<std::string>> lines;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), status); it != std::sregex_iterator(); ++it) {
    lines.emplace_back();
    for (size_t group = 1; group < it->size(); ++group) lines.back().push_back((*it)[group].str());
  }
  return lines;
}

// A test name from a fault's name: "close-mid-frame" gives "closemidframe" and the suffix.
inline std::string FaultTestName(std::string fault, const std::string& suffix = "") {
  std::erase(fault, '-');
  return fault + suffix;
}

}  // namespace stv::testing
