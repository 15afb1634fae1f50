// The window title: live picture statistics and the view settings.
#pragma once

#include <cstdint>
#include <string>

#include "window/window_state.h"

namespace stv {

// The title before any statistics are known.
inline constexpr char kInitialTitle[] = "Stavolin";

// The title has room for 255 characters; longer text is cut there. Even the largest
// figures stay well below that, so this is a bound, not a feature.
inline constexpr size_t kTitleCapacity = 256;

// The picture figures the title shows, copied under the picture mutex.
struct TitleFigures {
  int32_t width = 0;
  int32_t height = 0;
  uint64_t bytes = 0;
  uint64_t frames = 0;
  uint64_t tilesPainted = 0;
};

// "Stavolin - 1920x1080 - 12 frames, 480 tiles, 3.4 MB - Balanced - grey - view only".
// A preset other than High or Balanced reads DataSaver here.
std::string FormatSessionTitle(const TitleFigures& figures, QualityPreset preset, bool gray, bool viewOnly);

// Copies the figures from the state's picture, holding its mutex only for the copy.
TitleFigures ReadTitleFigures(const WindowState& state);

// The title for the state as it stands now.
std::string SessionTitle(const WindowState& state);

}  // namespace stv
