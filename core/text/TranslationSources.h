#pragma once

// The translations live in the repository as one JSON document per language
// (core/text/translations/<code>.json), each an object of sections ("catalogue"
// for the library's texts, "cli" for the command-line host's), each section an
// object from key to text. The build compiles a section of the three documents
// into the catalogue shape {"en": {...}, "ru": {...}, "zh-Hans": {...}} after
// checking the rules below; the same checks run in the tests.

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvelin {

struct CompiledTranslations {
  nlohmann::json catalogue;           // valid only when `problems` is empty
  std::vector<std::string> problems;  // one line each, naming language and key
};

// Checks `section` of the English, Russian and Simplified Chinese documents:
// every document parses and holds the section as an object of strings; the
// three key sets are equal; every key's placeholders appear in ascending order
// from "{0}"; the English text equals its key except for the special keys; every
// text carries exactly the placeholders of its key (of the English text, for a
// special key), each once.
CompiledTranslations compileTranslations(std::string_view section,
                                         std::string_view english,
                                         std::string_view russian,
                                         std::string_view chinese);

// The keys whose English text differs from the key: the 27 plural keys
// ("count.<kind>.<category>") and the two window keys.
bool isSpecialTranslationKey(std::string_view key);

// One placeholder "{N}" (a brace, decimal digits, a brace) in a text: its byte
// range and its digits.
struct Placeholder {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string_view digits;
};
// Every placeholder of `text`, in order of appearance.
std::vector<Placeholder> placeholders(std::string_view text);

// The numbers of the placeholders of `text`, in order of appearance (a number
// too large for the type counts as its largest value).
std::vector<unsigned long> placeholderNumbers(std::string_view text);

}  // namespace korvelin
