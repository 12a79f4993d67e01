#include "core/text/AppLocalization.h"

#include <unicode/plurrule.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>

#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "core/base/EnumNames.h"
#include "core/text/TranslationSources.h"

namespace korvelin {

namespace generated {
// Standard Base64 of the compiled catalogue, generated at build time.
extern const char kAppTranslationCatalog[];
}  // namespace generated

namespace {

// Longer texts are returned by `render` unchanged, so that matching stays cheap.
constexpr int32_t kRenderLimit = 16384;
// A bound on the regular-expression engine's work for one template, in its
// units of about ten thousand steps. A real message of the greatest length
// needs a small fraction of it; no input can make a match take longer.
constexpr int32_t kMatchStepLimit = 100;

std::string utf8(const icu::UnicodeString& text) {
  std::string result;
  text.toUTF8String(result);
  return result;
}

// `literal` as a regular expression matching exactly it: ASCII punctuation is
// quoted with a backslash (always a literal in ICU); everything else, including
// white space and line breaks, stands for itself without UREGEX_COMMENTS.
std::string escapedForRegex(std::string_view literal) {
  std::string pattern;
  for (char c : literal) {
    if (static_cast<unsigned char>(c) < 0x80 && std::ispunct(static_cast<unsigned char>(c)))
      pattern += '\\';
    pattern += c;
  }
  return pattern;
}

struct MessageTemplate {
  std::string key;
  std::string prefix;  // literal text before the first placeholder
  std::string suffix;  // literal text after the last placeholder
  std::unique_ptr<icu::RegexPattern> pattern;
};

std::optional<MessageTemplate> makeTemplate(const std::string& key) {
  const auto found = placeholders(key);
  if (found.empty())
    return std::nullopt;
  std::string pattern = "\\A";
  std::size_t literalStart = 0;
  for (const auto& placeholder : found) {
    pattern += escapedForRegex(
        std::string_view(key).substr(literalStart, placeholder.begin - literalStart));
    pattern += "(.*?)";
    literalStart = placeholder.end;
  }
  pattern += escapedForRegex(std::string_view(key).substr(literalStart));
  pattern += "\\z";
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
      icu::UnicodeString::fromUTF8(pattern), UREGEX_DOTALL, parseError, status));
  if (U_FAILURE(status))
    return std::nullopt;
  return MessageTemplate{key, key.substr(0, found.front().begin), key.substr(found.back().end),
                         std::move(compiled)};
}

const icu::PluralRules& pluralRules(AppLanguage language) {
  // Russian has its own categories; Simplified Chinese texts are alike in
  // every category, and take the English rule ("one" for exactly 1).
  static const auto rules = [] {
    std::array<std::unique_ptr<icu::PluralRules>, 2> made;
    const char* locales[] = {"en", "ru"};
    for (std::size_t i = 0; i < made.size(); ++i) {
      UErrorCode status = U_ZERO_ERROR;
      made[i].reset(icu::PluralRules::forLocale(icu::Locale(locales[i]), status));
      if (U_FAILURE(status) || !made[i]) {
        std::fprintf(stderr, "korvelin: ICU has no plural rules for %s\n", locales[i]);
        std::abort();
      }
    }
    return made;
  }();
  return *rules[language == AppLanguage::russian ? 1 : 0];
}

// The category key piece for a magnitude: "one", "few" or "many". Both rule
// sets depend only on the last two digits and on whether the number is 1, so
// a large magnitude is reduced to 100 plus its last two digits first.
std::string pluralCategory(std::uintmax_t magnitude, AppLanguage language) {
  const auto reduced = static_cast<int32_t>(magnitude < 100 ? magnitude : 100 + magnitude % 100);
  const std::string keyword = utf8(pluralRules(language).select(reduced));
  if (keyword == "one" || keyword == "few")
    return keyword;
  return "many";  // "many" and "other"
}

}  // namespace

struct TranslationCatalog::Data {
  std::array<std::map<std::string, std::string, std::less<>>, 3> texts;
  std::vector<MessageTemplate> templates;  // ascending key order
};

namespace {
constexpr EnumNames<AppLanguage, 3> kLanguageCodes{{
    {AppLanguage::english, "en"},
    {AppLanguage::russian, "ru"},
    {AppLanguage::chinese, "zh-Hans"},
}};
}  // namespace

std::string_view languageCode(AppLanguage language) noexcept {
  return kLanguageCodes.name(language);
}

std::optional<AppLanguage> languageFromCode(std::string_view code) noexcept {
  return kLanguageCodes.value(code);
}

AppLanguage resolveLanguage(const std::optional<std::string>& stored,
                            const std::vector<std::string>& preferredLanguages) {
  if (stored)
    if (auto language = languageFromCode(*stored))
      return *language;
  for (const auto& preferred : preferredLanguages) {
    std::string first;
    for (char c : preferred) {
      if (c == '-' || c == '_') {
        if (first.empty())
          continue;  // empty pieces are dropped
        break;
      }
      first += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (first == "en")
      return AppLanguage::english;
    if (first == "ru")
      return AppLanguage::russian;
    if (first == "zh")
      return AppLanguage::chinese;
  }
  return AppLanguage::english;
}

std::string_view countKindName(CountKind kind) noexcept {
  static constexpr std::array<std::string_view, 9> kNames = {"profiles", "applications", "running",
                                                             "events",   "variables",    "tokens",
                                                             "days",     "hours",        "minutes"};
  return kNames[static_cast<std::size_t>(kind)];
}

std::optional<TranslationCatalog> TranslationCatalog::decode(std::string_view base64) {
  const auto bytes = base64Decode(base64);
  if (!bytes)
    return std::nullopt;
  const auto document = nlohmann::json::parse(*bytes, nullptr, false);
  if (!document.is_object())
    return std::nullopt;
  auto data = std::make_shared<Data>();
  for (auto language : kAppLanguages) {
    auto texts = document.find(languageCode(language));
    if (texts == document.end() || !texts->is_object())
      return std::nullopt;
    auto& map = data->texts[static_cast<std::size_t>(language)];
    for (const auto& [key, text] : texts->items()) {
      if (!text.is_string())
        return std::nullopt;
      map.emplace(key, text.get<std::string>());
    }
  }
  for (const auto& [key, text] : data->texts[0])
    if (auto made = makeTemplate(key))
      data->templates.push_back(std::move(*made));
  return TranslationCatalog(std::move(data));
}

const std::string* TranslationCatalog::find(AppLanguage language, std::string_view key) const {
  const auto& map = data_->texts[static_cast<std::size_t>(language)];
  auto found = map.find(key);
  return found == map.end() ? nullptr : &found->second;
}

std::vector<std::string> TranslationCatalog::keys() const {
  std::vector<std::string> keys;
  for (const auto& [key, text] : data_->texts[0])
    keys.push_back(key);
  return keys;
}

std::size_t TranslationCatalog::templateCount() const {
  return data_->templates.size();
}

std::string TranslationCatalog::format(std::string_view key,
                                       const std::vector<std::string>& arguments,
                                       AppLanguage language) const {
  const std::string* translated = find(language, key);
  const std::string_view text = translated ? std::string_view(*translated) : key;
  // Built left to right from the template, which is the same as replacing
  // from the last placeholder to the first: inserted values are never scanned.
  std::string result;
  std::size_t copied = 0;
  for (const auto& placeholder : placeholders(text)) {
    std::size_t index = 0;
    auto [end, ec] = std::from_chars(placeholder.digits.data(),
                                     placeholder.digits.data() + placeholder.digits.size(), index);
    if (ec != std::errc() || index >= arguments.size())
      continue;  // stays as written
    result.append(text.substr(copied, placeholder.begin - copied));
    result += arguments[index];
    copied = placeholder.end;
  }
  result.append(text.substr(copied));
  return result;
}

std::string TranslationCatalog::count(std::intmax_t value,
                                      CountKind kind,
                                      AppLanguage language) const {
  const std::uintmax_t magnitude = value < 0
                                       ? std::uintmax_t(0) - static_cast<std::uintmax_t>(value)
                                       : static_cast<std::uintmax_t>(value);
  const std::string key =
      "count." + std::string(countKindName(kind)) + "." + pluralCategory(magnitude, language);
  return format(key, {std::to_string(value)}, language);
}

std::string TranslationCatalog::count(std::uintmax_t value,
                                      CountKind kind,
                                      AppLanguage language) const {
  const std::string key =
      "count." + std::string(countKindName(kind)) + "." + pluralCategory(value, language);
  return format(key, {std::to_string(value)}, language);
}

std::string TranslationCatalog::render(std::string_view text,
                                       AppLanguage language,
                                       const std::set<std::string, std::less<>>* keys) const {
  // A UTF-16 unit takes at least one byte of UTF-8 and at most three, so very
  // long texts are refused before any conversion.
  if (language == AppLanguage::english || text.size() > 3 * std::size_t(kRenderLimit))
    return std::string(text);
  const icu::UnicodeString units = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  if (units.length() > kRenderLimit)
    return std::string(text);

  if (!keys || keys->contains(text))
    if (const std::string* translated = find(language, text))
      return *translated;

  for (const auto& candidate : data_->templates) {
    const bool named = keys && keys->contains(candidate.key);
    if (candidate.prefix.empty() ? !named : (keys && !named))
      continue;
    if (!text.starts_with(candidate.prefix) || !text.ends_with(candidate.suffix))
      continue;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(candidate.pattern->matcher(status));
    if (U_FAILURE(status))
      continue;
    matcher->reset(units);
    matcher->setTimeLimit(kMatchStepLimit, status);
    if (!matcher->matches(status) || U_FAILURE(status))
      continue;  // no match, or out of steps
    std::vector<std::string> arguments;
    for (int32_t group = 1; group <= matcher->groupCount(); ++group) {
      icu::UnicodeString captured = matcher->group(group, status);
      arguments.push_back(U_SUCCESS(status) ? utf8(captured) : std::string());
    }
    return format(candidate.key, arguments, language);
  }
  return std::string(text);
}

const TranslationCatalog& AppLocalization::catalogue() {
  static const TranslationCatalog built = [] {
    auto decoded = TranslationCatalog::decode(generated::kAppTranslationCatalog);
    if (!decoded) {
      std::fprintf(stderr, "korvelin: the built-in translation catalogue does not decode\n");
      std::abort();
    }
    return std::move(*decoded);
  }();
  return built;
}

}  // namespace korvelin
