// stv-view: the supporter's side of a remote-support session.
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/headless.h"
#include "app/interactive.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto options = stv::ParseCommandLine(arguments);
  if (!options) {
    std::fprintf(stderr, "%s", stv::kUsageText);
    return 2;
  }
  if (options->headless) {
    return stv::RunHeadless(options->host, options->port, options->seconds, options->viewportWidth,
                            options->viewportHeight, options->preset, options->gray, options->savePath,
                            options->probeInput, options->probeX, options->probeY, options->security);
  }
  return stv::RunInteractive(*options);
}
