// Helpers of the end-to-end tests: the real stv-view against the real stv-agent-sim on loopback.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/agent_sim.h"

namespace stv::testing {

struct ViewerRun {
  int exitCode = -1;
  std::string out;
  std::string err;
  long peakRssKb = 0;  // from the kernel's accounting of the child: no peak is missed
};

// Runs stv-view to its end; the 60 s limit only stops a hang, no run comes near it.
inline ViewerRun RunViewer(const TempDir& dir, std::vector<std::string> arguments) {
  const auto command = ViewerCommand();
  arguments.insert(arguments.begin(), command.begin(), command.end());
  ChildProcess viewer;
  ViewerRun run;
  if (!viewer.Start(PlanWithOutput(arguments, dir / "viewer"), run.err)) {
    ADD_FAILURE() << run.err;
    return run;
  }
  const auto code = viewer.Wait(std::chrono::seconds(60));
  EXPECT_TRUE(code.has_value()) << "stv-view did not end within 60 s";
  viewer.Kill();
  run = {code.value_or(-1), Lines(viewer.Out()), Lines(viewer.Err()), viewer.PeakRssKb()};
  return run;
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

}  // namespace stv::testing
