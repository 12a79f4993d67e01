// Composed messages reach `render` from every part of the system, with
// whatever values they carry. Whatever the text and key set, rendering ends,
// leaves English and unmatched text alone, and never yields an empty text
// for a non-empty one.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "core/text/AppLocalization.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvelin;
  if (size < 1)
    return 0;
  const auto language = kAppLanguages[data[0] % 3];
  const bool restricted = data[0] & 4;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  static const auto keys = [] {
    const auto all = AppLocalization::catalogue().keys();
    return std::set<std::string, std::less<>>(all.begin(), all.end());
  }();
  const std::string rendered =
      AppLocalization::render(text, language, restricted ? &keys : nullptr);
  if (language == AppLanguage::english && rendered != text)
    __builtin_trap();
  if (!text.empty() && rendered.empty() && !AppLocalization::catalogue().find(language, text))
    __builtin_trap();
  // Formatting a key with the text as every value never loses the value.
  const std::string formatted =
      AppLocalization::format("Could not save profile catalog: {0}.", {text}, language);
  if (formatted.find(text) == std::string::npos)
    __builtin_trap();
  return 0;
}
