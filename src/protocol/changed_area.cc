#include "protocol/changed_area.h"

namespace stv {

void ChangedArea::Add(const ChangedRect& rect) {
  if (everything_) return;
  if (count_ > 0) {
    ChangedRect& last = rects_[count_ - 1];
    if (rect.y == last.y && rect.h == last.h && rect.x == last.x + last.w) {
      last.w += rect.w;
      // A finished row of tiles may now continue the row above it.
      if (count_ >= 2) {
        ChangedRect& above = rects_[count_ - 2];
        if (above.x == last.x && above.w == last.w && last.y == above.y + above.h) {
          above.h += last.h;
          --count_;
        }
      }
      return;
    }
    if (rect.x == last.x && rect.w == last.w && rect.y == last.y + last.h) {
      last.h += rect.h;
      return;
    }
  }
  if (count_ == kMaxRects) {
    everything_ = true;
    return;
  }
  rects_[count_++] = rect;
}

}  // namespace stv
