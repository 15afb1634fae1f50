// Finding a font file through fontconfig.
#pragma once

#include <optional>
#include <string>

namespace stv {

// The file of the installed font that best matches `pattern` (a fontconfig name such as
// "DejaVu Sans"), or nothing when fontconfig knows no font at all.
std::optional<std::string> FindFontFile(const std::string& pattern);

}  // namespace stv
