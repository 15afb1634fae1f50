// The picture as a 32-bit top-down BMP file, for "--save".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace stv {

inline constexpr size_t kBmpHeaderSize = 54;

// The 54-byte header and the first width * height * 4 bytes of `pixels`, unchanged.
// Absent when the size is not positive, the pixels are too few, or the file would not
// fit the format's 32-bit sizes.
std::optional<std::vector<uint8_t>> EncodeBmp(int32_t width, int32_t height, std::span<const uint8_t> pixels);

// Writes `bytes` to `path`, replacing the file. False when it cannot be opened.
bool WriteFile(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace stv
