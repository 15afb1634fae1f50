// The straightforward decoder the production one is checked against: same inputs, same
// verdicts, same bytes. Slow on purpose; used by tests and the differential fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stv::test {

uint32_t ReferenceAdler32(std::span<const uint8_t> bytes);
bool ReferenceInflate(std::span<const uint8_t> stream, std::vector<uint8_t>& out, size_t reserveHint, size_t maxOutput);
bool ReferenceInflateZlib(std::span<const uint8_t> data, std::vector<uint8_t>& out, size_t reserveHint);
bool ReferenceDecodePaletteTile(std::span<const uint8_t> data, int w, int h, std::vector<uint8_t>& out);

}  // namespace stv::test
