#include "window/session_title.h"

#include <algorithm>
#include <cstdio>

namespace stv {
namespace {

const char* PresetSuffix(QualityPreset preset) {
  switch (preset) {
    case QualityPreset::High: return " - High";
    case QualityPreset::Balanced: return " - Balanced";
    default: return " - DataSaver";
  }
}

}  // namespace

std::string FormatSessionTitle(const TitleFigures& figures, QualityPreset preset, bool gray, bool viewOnly) {
  char buffer[kTitleCapacity];
  const int length = std::snprintf(buffer, sizeof buffer, "Stavolin - %dx%d - %llu frames, %llu tiles, %.1f MB%s%s%s",
                                   figures.width, figures.height, static_cast<unsigned long long>(figures.frames),
                                   static_cast<unsigned long long>(figures.tilesPainted),
                                   static_cast<double>(figures.bytes) / 1048576.0, PresetSuffix(preset),
                                   gray ? " - grey" : "", viewOnly ? " - view only" : "");
  if (length < 0) return kInitialTitle;
  return std::string(buffer, std::min(static_cast<size_t>(length), sizeof buffer - 1));
}

TitleFigures ReadTitleFigures(const WindowState& state) {
  TitleFigures figures;
  if (!state.picture || !state.pictureMutex) return figures;
  std::lock_guard<std::mutex> lock(*state.pictureMutex);
  figures.width = state.picture->width;
  figures.height = state.picture->height;
  figures.bytes = state.picture->bytes;
  figures.frames = state.picture->frames;
  figures.tilesPainted = state.picture->tilesPainted;
  return figures;
}

std::string SessionTitle(const WindowState& state) {
  return FormatSessionTitle(ReadTitleFigures(state), state.preset, state.gray, state.viewOnly);
}

}  // namespace stv
