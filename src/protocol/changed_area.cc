#include "protocol/changed_area.h"

namespace stv {
namespace {

bool Contains(const ChangedRect& outer, const ChangedRect& inner) {
  return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.w <= outer.x + outer.w &&
         inner.y + inner.h <= outer.y + outer.h;
}

}  // namespace

void ChangedArea::Add(const ChangedRect& rect) {
  if (everything_) return;
  // A stream in full motion paints every tile again each frame: what an earlier frame's
  // rectangle holds already must not be copied twice.
  for (size_t i = 0; i < count_; ++i) {
    if (Contains(rects_[i], rect)) return;
  }
  if (!ExtendLast(rect)) {
    if (count_ == kMaxRects) {
      everything_ = true;
      return;
    }
    rects_[count_++] = rect;
  }
  DropContainedInLast();
}

bool ChangedArea::ExtendLast(const ChangedRect& rect) {
  if (count_ == 0) return false;
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
    return true;
  }
  if (rect.x == last.x && rect.w == last.w && rect.y == last.y + last.h) {
    last.h += rect.h;
    return true;
  }
  return false;
}

void ChangedArea::DropContainedInLast() {
  const ChangedRect last = rects_[count_ - 1];
  size_t kept = 0;
  for (size_t i = 0; i + 1 < count_; ++i) {
    if (!Contains(last, rects_[i])) rects_[kept++] = rects_[i];
  }
  rects_[kept++] = last;
  count_ = kept;
}

}  // namespace stv
