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

}  // namespace stv
