// Where the picture goes in the window: scaled to fit with its aspect ratio kept,
// centred, and the dark margins around it.
#pragma once

#include <cstdint>
#include <vector>

#include "window/window_state.h"

namespace stv {

// The background of the margins and of the waiting screen.
struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
};
inline constexpr Rgb kBackgroundColour{16, 16, 16};
inline constexpr Rgb kWaitingTextColour{200, 200, 200};
inline constexpr char kWaitingText[] = "Waiting for the first frame...";

// The rectangle a pictureWidth x pictureHeight picture (both at least 1) is drawn into
// inside `client`. Scaled up or down by the smaller of the two ratios, never below one
// pixel, centred with integer halves. A client with no width or no height gets itself
// back, so an empty client area is reported as an empty viewport.
PictureRect LetterboxRect(const PictureRect& client, int32_t pictureWidth, int32_t pictureHeight);

// The non-empty parts of `client` around `picture`, in the order above, below, left,
// right. Above and below span the client's full width, left and right its full height.
std::vector<PictureRect> MarginRects(const PictureRect& client, const PictureRect& picture);

}  // namespace stv
