// The picture as a 32-bit top-down BMP file: the viewer's "--save", and the simulated
// agent's model of the screen, comparable byte for byte with it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace stv {

inline constexpr size_t kBmpHeaderSize = 54;

// Writes the 54-byte header and then the first width * height * 4 bytes of `pixels`,
// unchanged, to `path`, replacing the file. The pixels go straight from the caller's
// buffer: saving a 3840 x 2160 picture needs no second 33 MB copy of it. False, writing
// nothing, when the size is not positive, the pixels are too few, or the file would not fit
// the format's 32-bit sizes; false as well when the file cannot be opened.
bool WriteBmpFile(const std::string& path, int32_t width, int32_t height, std::span<const uint8_t> pixels);

}  // namespace stv
