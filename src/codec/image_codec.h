// The tile image codec of this platform, as the application starts it.
#pragma once

#include <memory>

#include "codec/tile_image_codec.h"

namespace stv::agent {

// The platform's tile codec, started; `hasFactory` false means only WebP decodes and the
// application lends no codec to the picture.
struct StartedImageCodec {
  std::unique_ptr<TileImageCodec> codec;
  bool hasFactory = false;
};

StartedImageCodec StartImageCodec();

}  // namespace stv::agent
