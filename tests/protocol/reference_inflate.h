// The straightforward decoder the production one is checked against: same inputs, same
// verdicts, same bytes. Slow on purpose; the inflate and palette fuzz targets compare against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stv::test {

bool ReferenceInflate(std::span<const uint8_t> stream, std::vector<uint8_t>& out, size_t reserveHint, size_t maxOutput);
bool ReferenceInflateZlib(std::span<const uint8_t> data, std::vector<uint8_t>& out, size_t reserveHint);
bool ReferenceDecodePaletteTile(std::span<const uint8_t> data, int w, int h, std::vector<uint8_t>& out);

}  // namespace stv::test
