// The window's own copy of the picture. Painting brings it up to date under the picture mutex,
// copying only what changed, and draws from it without the mutex, so decoding never waits for
// a scale, an upload or a present.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/changed_area.h"
#include "protocol/session_picture.h"
#include "window/picture_scaler.h"

namespace stv {

struct ShownPicture {
  std::vector<uint8_t> pixels;  // B, G, R, X, rows from the top, no padding
  int32_t width = 0;
  int32_t height = 0;
};

// Copies what changed in `picture` since the last call into `shown`, which follows the
// picture's size, and adds what it copied to `copied`. With the picture mutex held and a
// picture that has its pixels. False, with nothing copied and the change kept for the next
// call, when there is no memory for the copy.
bool RefreshShownPicture(SessionPicture& picture, ShownPicture& shown, ChangedArea& copied);

// What a window that scales the picture itself keeps instead of a copy: the scale's first
// pass (the picture blended between its rows to the height shown), computed from the picture
// under its mutex. That pass reads the picture once, where a copy would read it and write
// all of it, and the second pass outside the mutex reads only the blend.
struct BlendedPicture {
  PictureScaler scaler;         // from the picture's size to the size shown
  std::vector<uint8_t> pixels;  // picture width x height shown, and the 4 bytes the scaler reads past the end

  size_t Stride() const { return static_cast<size_t>(scaler.SourceWidth()) * 4; }
};

// Blends what changed in `picture` since the last call into `blended`, for a picture shown
// at shownWidth x shownHeight (both at least 1), and adds the picture's rectangles it
// blended to `changed`; a new size blends everything. With the picture mutex held and a
// picture that has its pixels. False, with nothing blended and the change kept for the next
// call, when there is no memory for the blend.
bool RefreshBlendedPicture(SessionPicture& picture, int32_t shownWidth, int32_t shownHeight, BlendedPicture& blended,
                           ChangedArea& changed);

}  // namespace stv
