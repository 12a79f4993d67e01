#include "cli/Text.h"

#include <cstdlib>
#include <iostream>
#include <vector>

namespace korvelin::generated {
extern const char kCliTranslationCatalog[];
}

namespace korvelin::cli {

namespace {

AppLanguage gLanguage = AppLanguage::english;

const TranslationCatalog& cliCatalogue() {
  static const TranslationCatalog built = [] {
    auto decoded = TranslationCatalog::decode(generated::kCliTranslationCatalog);
    if (!decoded) {
      std::cerr << "korvelin: the built-in command-line catalogue does not decode\n";
      std::abort();
    }
    return std::move(*decoded);
  }();
  return built;
}

}  // namespace

AppLanguage languageFromHost(const std::optional<std::string>& option) {
  std::vector<std::string> preferred;
  // The host, not the library, reads the environment. LANGUAGE lists
  // languages in order; the locale variables name one each.
  if (const char* list = std::getenv("LANGUAGE")) {
    std::string_view rest(list);
    while (!rest.empty()) {
      const auto colon = rest.find(':');
      preferred.emplace_back(rest.substr(0, colon));
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
    if (const char* value = std::getenv(name); value && *value)
      preferred.emplace_back(value);
  return resolveLanguage(option, preferred);
}

AppLanguage outputLanguage() {
  return gLanguage;
}
void setOutputLanguage(AppLanguage language) {
  gLanguage = language;
}

bool isCliKey(std::string_view key) {
  return cliCatalogue().find(AppLanguage::english, key) != nullptr;
}

std::string text(const Message& message) {
  if (isCliKey(message.key))
    return cliCatalogue().format(message.key, message.arguments, gLanguage);
  return AppLocalization::format(message.key, message.arguments, gLanguage);
}

}  // namespace korvelin::cli
