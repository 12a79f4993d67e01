#include "core/text/TranslationSources.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <set>

namespace korvelin {

namespace {

constexpr std::array<std::string_view, 3> kCodes = {"en", "ru", "zh-Hans"};

// The section of one document, or a problem.
const nlohmann::json* sectionOf(const nlohmann::json& document,
                                std::string_view code,
                                std::string_view section,
                                std::vector<std::string>& problems) {
  auto member = document.is_object() ? document.find(section) : document.end();
  if (!document.is_object() || member == document.end() || !member->is_object()) {
    problems.push_back(std::string(code) + ": no object \"" + std::string(section) + "\"");
    return nullptr;
  }
  for (const auto& [key, text] : member->items())
    if (!text.is_string())
      problems.push_back(std::string(code) + ": \"" + key + "\" is not a string");
  return &*member;
}

std::vector<unsigned long> sortedPlaceholders(std::string_view text) {
  auto numbers = placeholderNumbers(text);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

}  // namespace

bool isSpecialTranslationKey(std::string_view key) {
  return key.starts_with("count.") || key == "{0} window" || key == "{0} window: {1}% remaining";
}

std::vector<Placeholder> placeholders(std::string_view text) {
  std::vector<Placeholder> found;
  for (std::size_t open = text.find('{'); open != std::string_view::npos;
       open = text.find('{', open)) {
    std::size_t digitsEnd = open + 1;
    while (digitsEnd < text.size() && text[digitsEnd] >= '0' && text[digitsEnd] <= '9')
      ++digitsEnd;
    if (digitsEnd > open + 1 && digitsEnd < text.size() && text[digitsEnd] == '}') {
      found.push_back({open, digitsEnd + 1, text.substr(open + 1, digitsEnd - open - 1)});
      open = digitsEnd + 1;
    } else {
      open += 1;
    }
  }
  return found;
}

std::vector<unsigned long> placeholderNumbers(std::string_view text) {
  std::vector<unsigned long> numbers;
  for (const auto& placeholder : placeholders(text)) {
    unsigned long number = 0;
    auto [end, ec] = std::from_chars(placeholder.digits.data(),
                                     placeholder.digits.data() + placeholder.digits.size(), number);
    numbers.push_back(ec == std::errc() ? number : static_cast<unsigned long>(-1));
  }
  return numbers;
}

CompiledTranslations compileTranslations(std::string_view section,
                                         std::string_view english,
                                         std::string_view russian,
                                         std::string_view chinese) {
  CompiledTranslations result;
  auto& problems = result.problems;
  const std::array<std::string_view, 3> sources = {english, russian, chinese};
  std::array<nlohmann::json, 3> documents;
  std::array<const nlohmann::json*, 3> sections{};
  for (std::size_t i = 0; i < kCodes.size(); ++i) {
    documents[i] = nlohmann::json::parse(sources[i], nullptr, false);
    if (documents[i].is_discarded()) {
      problems.push_back(std::string(kCodes[i]) + ": not a JSON document");
      continue;
    }
    sections[i] = sectionOf(documents[i], kCodes[i], section, problems);
  }
  if (!problems.empty())
    return result;

  // Key sets: every key of any language must be in all three.
  std::set<std::string> keys;
  for (const auto* texts : sections)
    for (const auto& [key, text] : texts->items())
      keys.insert(key);
  for (std::size_t i = 0; i < kCodes.size(); ++i)
    for (const auto& key : keys)
      if (!sections[i]->contains(key))
        problems.push_back(std::string(kCodes[i]) + ": missing \"" + key + "\"");
  if (!problems.empty())
    return result;

  const auto& englishTexts = *sections[0];
  for (const auto& key : keys) {
    const bool special = isSpecialTranslationKey(key);
    const std::string& englishText = englishTexts[key].get_ref<const std::string&>();
    const std::string& reference = special ? englishText : key;
    const auto order = placeholderNumbers(reference);
    for (std::size_t n = 0; n < order.size(); ++n)
      if (order[n] != n) {
        problems.push_back("en: placeholders of \"" + key + "\" are not {0}, {1}, ... in order");
        break;
      }
    if (!special && englishText != key)
      problems.push_back("en: the text of \"" + key + "\" differs from its key");
    const auto expected = sortedPlaceholders(reference);
    for (std::size_t i = 0; i < kCodes.size(); ++i) {
      const auto& text = (*sections[i])[key].get_ref<const std::string&>();
      if (sortedPlaceholders(text) != expected)
        problems.push_back(std::string(kCodes[i]) + ": \"" + key +
                           "\" has other placeholders than its key");
    }
  }
  if (!problems.empty())
    return result;

  for (std::size_t i = 0; i < kCodes.size(); ++i)
    result.catalogue[std::string(kCodes[i])] = *sections[i];
  return result;
}

}  // namespace korvelin
