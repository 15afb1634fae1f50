// The agent's model of the screen as a 32-bit top-down BMP, comparable byte for byte with
// the picture a viewer saves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image.h"

namespace stv::sim {

// 54-byte header ("BM", file size, 0, 54, 40, width, -height, 1 plane, 32 bpp, no
// compression, image size, zeros), then the pixels as they stand.
std::vector<uint8_t> EncodeBmp(const Image& image);

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

}  // namespace stv::sim
