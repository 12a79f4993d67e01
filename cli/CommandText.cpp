// korvelin text KEY [ARG...] | --count N KIND | --render TEXT [--key KEY]... [--json]
//
// The translation catalogue from the command line, in the language chosen by
// --language (or the environment): a key with its values, a counted noun, or
// an English message composed elsewhere.

#include <charconv>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/text/AppLocalization.h"

namespace korvelin::cli {
namespace {

struct TextOptions {
  std::vector<std::string> keyAndArguments;
  std::vector<std::string> count;  // N KIND
  std::optional<std::string> render;
  std::vector<std::string> keys;
  std::optional<std::string> language;
  bool json = false;
};

std::optional<CountKind> countKind(std::string_view name) {
  for (auto kind : {CountKind::profiles, CountKind::applications, CountKind::running,
                    CountKind::events, CountKind::variables, CountKind::tokens, CountKind::days,
                    CountKind::hours, CountKind::minutes})
    if (countKindName(kind) == name)
      return kind;
  return std::nullopt;
}

int runText(const TextOptions& options) {
  const AppLanguage language =
      options.language ? *languageFromCode(*options.language) : outputLanguage();
  const int modes =
      !options.keyAndArguments.empty() + !options.count.empty() + options.render.has_value();
  if (modes != 1)
    return fail("give exactly one of KEY [ARG...], --count N KIND or --render TEXT", kExitUsage);
  if (!options.keys.empty() && !options.render)
    return fail("--key restricts --render only", kExitUsage);

  std::string result;
  nlohmann::json json = {{"language", languageCode(language)}};
  if (options.render) {
    const std::set<std::string, std::less<>> keys(options.keys.begin(), options.keys.end());
    result =
        AppLocalization::render(*options.render, language, options.keys.empty() ? nullptr : &keys);
    json["english"] = *options.render;
  } else if (!options.count.empty()) {
    std::int64_t value = 0;
    const std::string& number = options.count[0];
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec != std::errc() || end != number.data() + number.size())
      return fail({"invalid count '{0}': expected a whole number", {number}}, kExitUsage);
    const auto kind = countKind(options.count[1]);
    if (!kind)
      return fail({"unknown kind '{0}': expected profiles, applications, running, events, "
                   "variables, tokens, "
                   "days, hours or minutes",
                   {options.count[1]}},
                  kExitUsage);
    result = AppLocalization::count(value, *kind, language);
    json["count"] = value;
    json["kind"] = options.count[1];
  } else {
    const std::string& key = options.keyAndArguments[0];
    if (!AppLocalization::catalogue().find(AppLanguage::english, key))
      return fail({"no such key in the catalogue: {0}", {printableText(key)}});
    const std::vector<std::string> arguments(options.keyAndArguments.begin() + 1,
                                             options.keyAndArguments.end());
    result = AppLocalization::format(key, arguments, language);
    json["key"] = key;
    json["arguments"] = arguments;
  }
  if (options.json) {
    json["text"] = result;
    printJson(json);
  } else {
    printLines(result);
  }
  return kExitSuccess;
}

const Registration kRegistration{
    {"text", "Show texts of the translation catalogue in the chosen language",
     [](CLI::App& command, const GlobalOptions&) -> Runner {
       auto options = std::make_shared<TextOptions>();
       command.add_option("KEY", options->keyAndArguments,
                          text("A catalogue key and the values for its placeholders"));
       command
           .add_option("--count", options->count,
                       text("A number and a counted noun (profiles, applications, running, events, "
                            "variables, tokens, days, hours, minutes)"))
           ->expected(2);
       command.add_option("--render", options->render,
                          text("An English message composed with values, to translate"));
       command.add_option("--key", options->keys,
                          text("Restrict --render to this key (repeatable)"));
       command
           .add_option("--language", options->language,
                       text("Language of the text: en, ru or zh-Hans (default: the global choice)"))
           ->check(CLI::IsMember({"en", "ru", "zh-Hans"}));
       command.add_flag("--json", options->json, text("Print one JSON object"));
       return [options] { return runText(*options); };
     }}};

}  // namespace
}  // namespace korvelin::cli
