#include "window/fontconfig_font.h"

#include <fontconfig/fontconfig.h>

#include <memory>

namespace stv {
namespace {

struct PatternDeleter {
  void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
using PatternPtr = std::unique_ptr<FcPattern, PatternDeleter>;

}  // namespace

std::optional<std::string> FindFontFile(const std::string& pattern) {
  if (!FcInit()) return std::nullopt;
  PatternPtr wanted(FcNameParse(reinterpret_cast<const FcChar8*>(pattern.c_str())));
  if (!wanted) return std::nullopt;
  FcConfigSubstitute(nullptr, wanted.get(), FcMatchPattern);
  FcDefaultSubstitute(wanted.get());
  FcResult result = FcResultNoMatch;
  PatternPtr match(FcFontMatch(nullptr, wanted.get(), &result));
  if (!match) return std::nullopt;
  FcChar8* file = nullptr;
  if (FcPatternGetString(match.get(), FC_FILE, 0, &file) != FcResultMatch || !file) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(file));
}

}  // namespace stv
