#include "window/shown_picture.h"

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
                           ChangedArea& changed) {
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
  const size_t stride = blended.Stride();
  taken.ForEach(picture.width, picture.height, [&](const ChangedRect& rect) {
    const ChangedRect part = scaler.BlendedOf(rect);
    if (part.w < 1) return;
    scaler.BlendRows(picture.framebuffer.data(), stride, part,
                     blended.pixels.data() + static_cast<size_t>(part.y) * stride + static_cast<size_t>(part.x) * 4,
                     stride);
  });
  changed.Add(taken);
  return true;
}

}  // namespace stv
