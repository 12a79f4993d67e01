#pragma once

// Every text the system shows is written in English and translated when it is
// displayed, into English, Russian or Simplified Chinese. The translations
// ship inside the library as one catalogue (generated at build time from
// core/text/translations/), decoded once on first use. Besides plain lookups,
// `render` translates an English message that was already composed with
// run-time values by matching it against the catalogue's templates, and
// `count` picks the plural form of a counted noun.

#include <array>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace korvelin {

enum class AppLanguage : std::uint8_t { english, russian, chinese };

inline constexpr std::array<AppLanguage, 3> kAppLanguages = {
    AppLanguage::english, AppLanguage::russian, AppLanguage::chinese};

// "en", "ru", "zh-Hans".
std::string_view languageCode(AppLanguage language) noexcept;
// The language with exactly this code; absent for anything else ("RU", "zh").
std::optional<AppLanguage> languageFromCode(std::string_view code) noexcept;

// A stored choice that is exactly a language code wins; otherwise the first
// preferred language whose first piece (lower-cased, split at "-" and "_") is
// "en", "ru" or "zh"; otherwise English.
AppLanguage resolveLanguage(const std::optional<std::string>& stored,
                            const std::vector<std::string>& preferredLanguages);

// A message to translate: its catalogue key and the run-time values for the
// key's placeholders. Built from a literal (the literal is the key), or
// piece by piece so that a composed message and its key are spelled alike:
//   AppLocalizedString::interpolated("Profile ", AppLocalizedString::value(id), " was not found.")
// gives the key "Profile {0} was not found." with one argument.
struct AppLocalizedString {
  struct Value {
    std::string text;
  };
  template <class T>
  static Value value(const T& v) {
    if constexpr (std::is_convertible_v<const T&, std::string>)
      return {std::string(v)};
    else
      return {std::to_string(v)};
  }

  std::string key;
  std::vector<std::string> arguments;

  AppLocalizedString() = default;
  AppLocalizedString(const char* literal) : key(literal) {}  // NOLINT: built from literals
  AppLocalizedString(std::string k, std::vector<std::string> args)
      : key(std::move(k)), arguments(std::move(args)) {}

  AppLocalizedString& appendLiteral(std::string_view literal) {
    key += literal;
    return *this;
  }
  AppLocalizedString& appendInterpolation(std::string value) {
    key += "{" + std::to_string(arguments.size()) + "}";
    arguments.push_back(std::move(value));
    return *this;
  }

  template <class... Parts>
  static AppLocalizedString interpolated(const Parts&... parts) {
    AppLocalizedString result;
    (result.append(parts), ...);
    return result;
  }

  friend bool operator==(const AppLocalizedString&, const AppLocalizedString&) = default;

 private:
  void append(const Value& v) { appendInterpolation(v.text); }
  void append(std::string_view literal) { appendLiteral(literal); }
};

// The nine counted nouns, with the raw values used in their keys.
enum class CountKind : std::uint8_t {
  profiles,
  applications,
  running,
  events,
  variables,
  tokens,
  days,
  hours,
  minutes
};
std::string_view countKindName(CountKind kind) noexcept;

// One decoded catalogue: a text per language and key, plus the message
// templates built from its English keys. Cheap to copy (shared, immutable) and
// safe to use from any thread.
class TranslationCatalog {
 public:
  // Decodes standard Base64 of the JSON object {"en": {...}, "ru": {...},
  // "zh-Hans": {...}}; absent when it does not decode or a language is missing.
  static std::optional<TranslationCatalog> decode(std::string_view base64);

  // The translation of `key`, or null.
  const std::string* find(AppLanguage language, std::string_view key) const;
  // The English keys in ascending order.
  std::vector<std::string> keys() const;
  // How many templates `render` tries (keys with at least one placeholder).
  std::size_t templateCount() const;

  // The translation of `key` (the key itself when there is none) with every
  // placeholder "{N}" replaced by argument N; a placeholder without an argument
  // stays as written, and inserted values are never scanned again.
  std::string format(std::string_view key,
                     const std::vector<std::string>& arguments,
                     AppLanguage language) const;

  // The plural form of `value` counted as `kind`, e.g. "21 профиль".
  std::string count(std::intmax_t value, CountKind kind, AppLanguage language) const;
  std::string count(std::uintmax_t value, CountKind kind, AppLanguage language) const;

  // Translates a composed English `text`: unchanged for English and for texts
  // over 16384 UTF-16 units; otherwise its translation when it is a key, else
  // the first template that matches it, formatted with the captured values
  // (which are not translated themselves), else unchanged. `keys` restricts
  // the search; templates starting with a placeholder are tried only when
  // `keys` names them.
  std::string render(std::string_view text,
                     AppLanguage language,
                     const std::set<std::string, std::less<>>* keys = nullptr) const;

  struct Data;

 private:
  explicit TranslationCatalog(std::shared_ptr<const Data> data) : data_(std::move(data)) {}
  std::shared_ptr<const Data> data_;
};

// The built-in catalogue and the operations over it.
struct AppLocalization {
  // Decoded on first use; a catalogue that does not decode is a build defect
  // and stops the process.
  static const TranslationCatalog& catalogue();

  static std::string text(const AppLocalizedString& localized, AppLanguage language) {
    return format(localized.key, localized.arguments, language);
  }
  static std::string format(std::string_view key,
                            const std::vector<std::string>& arguments,
                            AppLanguage language) {
    return catalogue().format(key, arguments, language);
  }
  template <std::integral T>
  static std::string count(T value, CountKind kind, AppLanguage language) {
    if constexpr (std::is_signed_v<T>)
      return catalogue().count(static_cast<std::intmax_t>(value), kind, language);
    else
      return catalogue().count(static_cast<std::uintmax_t>(value), kind, language);
  }
  static std::string render(std::string_view text,
                            AppLanguage language,
                            const std::set<std::string, std::less<>>* keys = nullptr) {
    return catalogue().render(text, language, keys);
  }
};

}  // namespace korvelin
