// The window's own copy of the picture. Painting brings it up to date under the picture mutex,
// copying only what changed, and draws from it without the mutex, so the reader thread never
// waits for a scale, an upload or a present.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/changed_area.h"
#include "protocol/session_picture.h"

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

}  // namespace stv
