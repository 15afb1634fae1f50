// The quality presets a supporter can ask the agent for; on the wire only by name.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace stv {

enum class QualityPreset : int32_t {
  High = 0,
  Balanced = 1,
  DataSaver = 2,
};

// "High", "Balanced" or "DataSaver"; any value out of range names "High".
const char* QualityPresetName(QualityPreset preset);

// The value of "--preset": case-insensitive "balanced" or "datasaver"; anything else,
// an absent value included, is High. Never an error, so an old script keeps working.
QualityPreset ParseQualityPreset(std::optional<std::string_view> name);

// The order Ctrl+Alt+Q cycles through: High, Balanced, DataSaver, High...
QualityPreset NextQualityPreset(QualityPreset preset);

}  // namespace stv
