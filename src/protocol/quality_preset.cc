#include "protocol/quality_preset.h"

#include <string>

namespace stv {

const char* QualityPresetName(QualityPreset preset) {
  switch (preset) {
    case QualityPreset::Balanced: return "Balanced";
    case QualityPreset::DataSaver: return "DataSaver";
    default: return "High";
  }
}

QualityPreset ParseQualityPreset(std::optional<std::string_view> name) {
  if (!name) return QualityPreset::High;
  std::string lowered(*name);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lowered == "balanced") return QualityPreset::Balanced;
  if (lowered == "datasaver") return QualityPreset::DataSaver;
  return QualityPreset::High;
}

QualityPreset NextQualityPreset(QualityPreset preset) {
  switch (preset) {
    case QualityPreset::High: return QualityPreset::Balanced;
    case QualityPreset::Balanced: return QualityPreset::DataSaver;
    default: return QualityPreset::High;
  }
}

}  // namespace stv
