#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/text/AppLocalization.h"
#include "core/text/TranslationSources.h"
#include "tests/support/FileTreeHelpers.h"

namespace korvelin {
namespace {

const TranslationCatalog& catalogue() {
  return AppLocalization::catalogue();
}
constexpr auto en = AppLanguage::english;
constexpr auto ru = AppLanguage::russian;
constexpr auto zh = AppLanguage::chinese;
using Keys = std::set<std::string, std::less<>>;

std::string source(const std::string& language) {
  return testing::readText(KORVELIN_SOURCE_DIR "/core/text/translations/" + language + ".json");
}

TEST(AppLocalizationTest, TheBuiltInCatalogueIsTheCheckedCatalogueSection) {
  const auto compiled =
      compileTranslations("catalogue", source("en"), source("ru"), source("zh-Hans"));
  ASSERT_EQ(compiled.problems, std::vector<std::string>{});
  const auto keys = catalogue().keys();
  EXPECT_EQ(keys.size(), compiled.catalogue["en"].size());  // no key lost
  for (auto language : kAppLanguages)
    for (const auto& key : keys)
      EXPECT_EQ(*catalogue().find(language, key),
                compiled.catalogue[std::string(languageCode(language))][key].get<std::string>());
}

// The checks that guard the sources: each row breaks one rule in one file
// (the rows hold the body of section "s" of each language's document).
TEST(AppLocalizationTest, SourceChecksNameTheBrokenRule) {
  struct Case {
    const char* name;
    std::string english, russian, chinese;
    std::string problem;  // empty: accepted
  };
  auto doc = [](const std::string& body) { return R"({"s": {)" + body + "}}"; };
  const auto other = [](const char* language, const char* key) {
    return std::string(language) + ": \"" + key + "\" has other placeholders than its key";
  };
  const std::string run = R"("Run {0}": "Run {0}")", runRu = R"("Run {0}": "Запуск {0}")";
  const std::string runZh = R"("Run {0}": "运行 {0}")", a = R"("A": "A")", aRu = R"("A": "А")";
  const std::vector<Case> cases = {
      {"good", run + R"(, "count.days.one": "{0} day")",
       runRu + R"(, "count.days.one": "{0} день")", runZh + R"(, "count.days.one": "{0} 天")", ""},
      {"missing key", a + R"(, "B": "B")", aRu, R"("A": "甲", "B": "乙")", "ru: missing \"B\""},
      {"extra key", a, aRu, R"("A": "甲", "C": "丙")", "en: missing \"C\""},
      {"english differs", R"("Save": "Store")", R"("Save": "Сохранить")", R"("Save": "保存")",
       "en: the text of \"Save\" differs from its key"},
      {"lost placeholder", run, R"("Run {0}": "Запуск")", runZh, other("ru", "Run {0}")},
      {"doubled placeholder", run, runRu, R"("Run {0}": "运行 {0} {0}")",
       other("zh-Hans", "Run {0}")},
      {"foreign placeholder", run, R"("Run {0}": "Запуск {1}")", runZh, other("ru", "Run {0}")},
      {"special key checked against English", R"("count.days.one": "{0} day")",
       R"("count.days.one": "день")", R"("count.days.one": "{0} 天")",
       other("ru", "count.days.one")},
      {"keys out of order", R"("{1} of {0}": "{1} of {0}")", R"("{1} of {0}": "{1} из {0}")",
       R"("{1} of {0}": "{0} 中的 {1}")",
       "en: placeholders of \"{1} of {0}\" are not {0}, {1}, ... in order"},
      {"not a string", a, R"("A": 1)", R"("A": "甲")", "ru: \"A\" is not a string"},
  };
  for (const auto& c : cases) {
    const auto compiled = compileTranslations("s", doc(c.english), doc(c.russian), doc(c.chinese));
    if (c.problem.empty()) {
      EXPECT_EQ(compiled.problems, std::vector<std::string>{}) << c.name;
      EXPECT_EQ(compiled.catalogue["ru"]["Run {0}"], "Запуск {0}") << c.name;
    } else {
      ASSERT_FALSE(compiled.problems.empty()) << c.name;
      EXPECT_EQ(compiled.problems[0], c.problem) << c.name;
    }
  }
  // Documents that are not what a source must be.
  EXPECT_THAT(compileTranslations("s", R"({"t": {}})", doc(""), doc("")).problems,
              ::testing::ElementsAre("en: no object \"s\""));
  EXPECT_THAT(compileTranslations("s", doc(""), "{", doc("")).problems,
              ::testing::ElementsAre("ru: not a JSON document"));
}

TEST(AppLocalizationTest, LanguageResolution) {
  struct Case {
    std::optional<std::string> stored;
    std::vector<std::string> preferred;
    AppLanguage expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, {"ru-RU"}, ru},
      {std::nullopt, {"zh-Hant-TW"}, zh},
      {std::nullopt, {"pt_BR", "en"}, en},
      {std::nullopt, {}, en},
      {std::nullopt, {"de", "fr_FR"}, en},
      {std::nullopt, {"_-RU_ru"}, ru},  // empty pieces are dropped
      {"RU", {"zh-CN"}, zh},            // not a stored code: the preferred languages decide
      {"ru", {"zh-CN"}, ru},
      {"zh-Hans", {}, zh},
      {"zh", {}, en},
  };
  for (const auto& c : cases)
    EXPECT_EQ(resolveLanguage(c.stored, c.preferred), c.expected)
        << (c.stored ? *c.stored : "-") << " " << (c.preferred.empty() ? "" : c.preferred[0]);
}

// Each text starts with the number it counts.
TEST(AppLocalizationTest, PluralForms) {
  const std::pair<AppLanguage, std::vector<std::string>> cases[] = {
      {ru,
       {"0 профилей", "1 профиль", "2 профиля", "5 профилей", "11 профилей", "21 профиль",
        "22 профиля", "25 профилей", "101 профиль", "111 профилей", "104 профиля", "12 профилей",
        "14 профилей", "112 профилей", "-1 профиль", "-22 профиля", "1000001 профиль"}},
      {en, {"1 profile", "-1 profile", "0 profiles", "2 profiles", "101 profiles"}},
      {zh, {"1 个配置", "7 个配置"}},
  };
  for (const auto& [language, texts] : cases)
    for (const auto& text : texts)
      EXPECT_EQ(AppLocalization::count(std::stoll(text), CountKind::profiles, language), text);
  EXPECT_EQ(AppLocalization::count(std::numeric_limits<long long>::min(), CountKind::days, ru),
            std::to_string(std::numeric_limits<long long>::min()) + " дней");
  EXPECT_EQ(AppLocalization::count(std::numeric_limits<unsigned long long>::max(),
                                   CountKind::minutes, ru),
            "18446744073709551615 минут");
  EXPECT_EQ(AppLocalization::count(3u, CountKind::running, ru), "3 запущенных профиля");
}

TEST(AppLocalizationTest, FormatAndInterpolation) {
  const auto localized = AppLocalizedString::interpolated(
      "Profile ", AppLocalizedString::value("A-B"), " was not found.");
  EXPECT_EQ(localized, AppLocalizedString("Profile {0} was not found.", {"A-B"}));
  EXPECT_EQ(AppLocalization::text(localized, ru), "Профиль A-B не найден.");
  EXPECT_EQ(AppLocalization::text("Cancel", zh), "取消");
  EXPECT_EQ(AppLocalizedString::interpolated(AppLocalizedString::value(3), " running").key,
            "{0} running");

  const std::string codexVersion = "Codex version {0} ({1}) is not verified.";
  struct Case {
    std::string key;
    std::vector<std::string> arguments;
    AppLanguage language;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {codexVersion, {"1.2"}, en, "Codex version 1.2 ({1}) is not verified."},
      {codexVersion, {"1.2", "7"}, zh, "Codex 版本 1.2（7）未经验证。"},
      {"Run {0}", {"{0}"}, ru, "Запуск {0}"},  // inserted literally, not scanned again
      {"Not a key {1}{0}", {"a", "b"}, ru, "Not a key ba"},
      {"{0} window: {1}% remaining", {"5h", "40"}, en, "Window (5h): 40% remaining"},
      {"{0} window: {1}% remaining", {"5h", "40"}, ru, "Окно (5h): осталось 40%"},
      {"{0} window", {"7d"}, zh, "7d窗口"},
      {"x{99999999999999999999}y{0}", {"a"}, en, "x{99999999999999999999}ya"},
      {"{}{a}{0", {"a"}, en, "{}{a}{0"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AppLocalization::format(c.key, c.arguments, c.language), c.expected) << c.key;
}

// Every template, given its own English text, yields the translation with the
// same values; that is what makes composed messages translatable at all.
TEST(AppLocalizationTest, RenderingATemplatesEnglishTextGivesItsTranslation) {
  std::size_t templates = 0;
  for (const auto& key : catalogue().keys()) {
    const auto count = placeholderNumbers(key).size();
    if (count == 0)
      continue;
    ++templates;
    std::vector<std::string> values;
    for (std::size_t i = 0; i < count; ++i)
      values.push_back("v" + std::to_string(i) + " «x»\n");
    // The message as code composes it: the key spelled with the values (for
    // the window keys this differs from their English display text).
    std::string english = key;
    for (std::size_t i = count; i-- > 0;) {
      const std::string placeholder = "{" + std::to_string(i) + "}";
      english.replace(english.find(placeholder), placeholder.size(), values[i]);
    }
    const Keys only = {key};
    for (auto language : {ru, zh}) {
      const std::string expected = AppLocalization::format(key, values, language);
      EXPECT_EQ(AppLocalization::render(english, language, &only), expected) << key;
    }
  }
  EXPECT_EQ(templates, catalogue().templateCount());
}

TEST(AppLocalizationTest, RenderEdgeCases) {
  const Keys events = {"{0} events"};
  const Keys cancel = {"Cancel"};
  const Keys approved = {"Codex {0} ({1}) is installed and launch-approved."};
  struct Case {
    std::string text;
    AppLanguage language;
    const Keys* keys;
    std::string expected;
  };
  const std::string save = "Could not save profile catalog: ";
  const std::string saveRu = "Не удалось сохранить каталог профилей: ";
  const std::string longDetail(16384 - save.size() - 1, 'x');  // the text is 16384 units long
  const std::string installed = "Codex 1 (2) is installed and launch-approved.";
  const std::vector<Case> cases = {
      {save + "disk full.", ru, nullptr, saveRu + "disk full."},
      {"3 events", ru, nullptr, "3 events"},  // a leading placeholder needs a key set
      {"3 events", ru, &events, "События: 3"},
      {"Cancel", ru, nullptr, "Отмена"},
      {"Cancel", en, nullptr, "Cancel"},
      {"Cancel", ru, &events, "Cancel"},  // the key set excludes it
      {"Save", ru, &cancel, "Save"},
      {"Profile 9F2C was not found.", zh, nullptr, "未找到配置 9F2C。"},
      {"Profile 9F2C was not found.", zh, &cancel, "Profile 9F2C was not found."},
      {"Codex version 1.0 (2) is not verified.", ru, nullptr, "Версия Codex 1.0 (2) не проверена."},
      {"Codex version  () is not verified.", ru, nullptr,
       "Версия Codex  () не проверена."},  // empty captures
      {"Only this managed directory will be deleted:\n/a\nb", zh, nullptr,
       "只会删除以下托管目录：\n/a\nb"},
      {save + longDetail + ".", ru, nullptr, saveRu + longDetail + "."},
      {save + longDetail + "x.", ru, nullptr, save + longDetail + "x."},  // 16385 units: unchanged
      {"Unknown text", zh, nullptr, "Unknown text"},
      // Templates are tried in key order: "Codex {0}" comes first and takes
      // the whole rest as its value, so only a key set reaches the longer one.
      {installed, ru, nullptr, installed},
      {installed, ru, &approved, "Codex 1 (2) установлен и одобрен для запуска."},
      {save + "x", ru, nullptr, save + "x"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AppLocalization::render(c.text, c.language, c.keys), c.expected)
        << c.text.substr(0, 60);
}

}  // namespace
}  // namespace korvelin
