#include "window/picture_layout.h"

#include <algorithm>

namespace stv {

PictureRect LetterboxRect(const PictureRect& client, int32_t pictureWidth, int32_t pictureHeight) {
  const int32_t clientWidth = client.Width();
  const int32_t clientHeight = client.Height();
  if (clientWidth < 1 || clientHeight < 1) return client;
  const double scale =
      std::min(static_cast<double>(clientWidth) / pictureWidth, static_cast<double>(clientHeight) / pictureHeight);
  const int32_t drawnWidth = std::max(1, static_cast<int32_t>(scale * pictureWidth));
  const int32_t drawnHeight = std::max(1, static_cast<int32_t>(scale * pictureHeight));
  PictureRect rect;
  rect.left = client.left + (clientWidth - drawnWidth) / 2;
  rect.top = client.top + (clientHeight - drawnHeight) / 2;
  rect.right = rect.left + drawnWidth;
  rect.bottom = rect.top + drawnHeight;
  return rect;
}

std::vector<PictureRect> MarginRects(const PictureRect& client, const PictureRect& picture) {
  std::vector<PictureRect> margins;
  if (picture.top > client.top) margins.push_back({client.left, client.top, client.right, picture.top});
  if (client.bottom > picture.bottom) margins.push_back({client.left, picture.bottom, client.right, client.bottom});
  if (picture.left > client.left) margins.push_back({client.left, client.top, picture.left, client.bottom});
  if (client.right > picture.right) margins.push_back({picture.right, client.top, client.right, client.bottom});
  return margins;
}

}  // namespace stv
