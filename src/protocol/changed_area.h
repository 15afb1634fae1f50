// Which parts of the picture changed since the window last showed it, so that only those are
// copied out and uploaded. Recorded under the picture's mutex on every painted tile, so it
// must stay cheap: a short list of rectangles that grows a rectangle only when a tile does
// not extend the last one or lie inside one, and collapses to the whole picture when it would
// grow long.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace stv {

struct ChangedRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t w = 0;
  int32_t h = 0;
  friend bool operator==(const ChangedRect&, const ChangedRect&) = default;
};

class ChangedArea {
 public:
  // More rectangles than this and copying them one by one costs more than the whole picture.
  static constexpr size_t kMaxRects = 16;

  // A painted rectangle. Tiles arrive row by row: one that continues the last rectangle to
  // the right (same rows) or below (same columns) widens it instead of adding one, and a row
  // that grows as wide as the one above it joins it.
  void Add(const ChangedRect& rect);
  // Everything `other` holds.
  void Add(const ChangedArea& other) {
    if (other.everything_) everything_ = true;
    for (const ChangedRect& rect : other.Rects()) Add(rect);
  }
  // A new size, a cleared picture, or a window that must show all of it again.
  void AddEverything() { everything_ = true; }
  void Clear() {
    everything_ = false;
    count_ = 0;
  }

  // Calls `visit` with each changed rectangle of a width x height picture: the whole picture
  // when everything changed.
  template <typename Visit>
  void ForEach(int32_t width, int32_t height, Visit visit) const {
    if (everything_) {
      visit(ChangedRect{0, 0, width, height});
      return;
    }
    for (const ChangedRect& rect : Rects()) visit(rect);
  }

  bool Empty() const { return !everything_ && count_ == 0; }
  bool Everything() const { return everything_; }
  // The rectangles, when not everything; they may overlap, but none lies inside another.
  std::span<const ChangedRect> Rects() const { return {rects_.data(), count_}; }

 private:
  // Widens or lengthens the last rectangle by `rect` where it continues it; false otherwise.
  bool ExtendLast(const ChangedRect& rect);
  // Removes every rectangle the last one contains; keeps the order of the rest.
  void DropContainedInLast();

  bool everything_ = false;
  size_t count_ = 0;
  std::array<ChangedRect, kMaxRects> rects_{};
};

}  // namespace stv
