#include "window/shown_picture.h"

#include <algorithm>
#include <new>

namespace stv {

bool RefreshShownPicture(SessionPicture& picture, ShownPicture& shown, ChangedArea& copied) {
  const size_t stride = static_cast<size_t>(picture.width) * 4;
  ChangedArea changed;
  TakeChanged(picture, changed);
  if (shown.width != picture.width || shown.height != picture.height) {
    try {
      shown.pixels.resize(stride * static_cast<size_t>(picture.height));
    } catch (const std::bad_alloc&) {
      shown = ShownPicture{};
      picture.changed.AddEverything();
      return false;
    }
    shown.width = picture.width;
    shown.height = picture.height;
    changed.AddEverything();
  }
  changed.ForEach(picture.width, picture.height, [&](const ChangedRect& rect) {
    CopyPictureRect(picture, rect, shown.pixels.data() + rect.y * stride + rect.x * size_t{4}, stride);
  });
  copied.Add(changed);
  return true;
}

bool RefreshBlendedPicture(SessionPicture& picture, int32_t shownWidth, int32_t shownHeight, BlendedPicture& blended,
                           ChangedArea& changed, const std::function<void()>& pause) {
  PictureScaler& scaler = blended.scaler;
  ChangedArea taken;
  TakeChanged(picture, taken);
  if (scaler.SourceWidth() != picture.width || scaler.SourceHeight() != picture.height ||
      scaler.OutputWidth() != shownWidth || scaler.OutputHeight() != shownHeight) {
    try {
      blended.pixels.resize(static_cast<size_t>(picture.width) * 4 * static_cast<size_t>(shownHeight) + 4);
      scaler.Prepare(picture.width, picture.height, shownWidth, shownHeight);
    } catch (const std::bad_alloc&) {
      blended = BlendedPicture{};
      picture.changed.AddEverything();
      return false;
    }
    taken.AddEverything();
  }
  const int32_t width = picture.width;
  const int32_t height = picture.height;
  const size_t stride = blended.Stride();
  int32_t rowsThisTurn = 0;
  bool stopped = false;
  taken.ForEach(width, height, [&](const ChangedRect& rect) {
    const ChangedRect part = scaler.BlendedOf(rect);
    for (int32_t y = part.y; y < part.y + part.h && !stopped;) {
      if (rowsThisTurn == kBlendedRowsPerTurn) {
        rowsThisTurn = 0;
        if (pause) {
          pause();
          // A new size while the mutex was free leaves everything for the next call.
          stopped = picture.width != width || picture.height != height ||
                    picture.framebuffer.size() < stride * static_cast<size_t>(height);
          if (stopped) break;
        }
      }
      const int32_t rows = std::min(part.y + part.h - y, kBlendedRowsPerTurn - rowsThisTurn);
      scaler.BlendRows(picture.framebuffer.data(), stride, {part.x, y, part.w, rows},
                       blended.pixels.data() + static_cast<size_t>(y) * stride + static_cast<size_t>(part.x) * 4,
                       stride);
      y += rows;
      rowsThisTurn += rows;
    }
  });
  changed.Add(taken);
  return true;
}

}  // namespace stv
