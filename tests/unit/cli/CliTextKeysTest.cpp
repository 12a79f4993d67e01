#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/FileTreeHelpers.h"

namespace korvelin {
namespace {

// The English keys of one section of the translation sources.
std::set<std::string> sectionKeys(const std::string& section) {
  const auto document = nlohmann::json::parse(
      testing::readText(KORVELIN_SOURCE_DIR "/core/text/translations/en.json"));
  std::set<std::string> keys;
  for (const auto& [key, text] : document.at(section).items())
    keys.insert(key);
  return keys;
}

// The literal (adjacent literals joined, the escapes \n, \" and \\ read)
// that follows each match of `call` in `source`.
std::vector<std::string> literalsAfter(const std::string& source, const std::regex& call) {
  static const std::regex literal(R"re(^\s*"((?:[^"\\]|\\.)*)")re");
  std::vector<std::string> found;
  for (auto it = std::sregex_iterator(source.begin(), source.end(), call);
       it != std::sregex_iterator(); ++it) {
    std::string joined;
    auto rest = source.substr(static_cast<std::size_t>(it->position() + it->length()));
    std::smatch piece;
    while (std::regex_search(rest, piece, literal)) {
      for (std::size_t i = 0; i < piece[1].str().size(); ++i) {
        char c = piece[1].str()[i];
        if (c == '\\' && i + 1 < piece[1].str().size())
          c = piece[1].str()[++i] == 'n' ? '\n' : piece[1].str()[i];
        joined += c;
      }
      rest = piece.suffix();
    }
    if (!joined.empty())
      found.push_back(joined);
  }
  return found;
}

// Every message a command prints for people must have its translations: a
// key in the command line's section or in the library's catalogue. A new
// say("...") without them would print English in every language.
TEST(CliTextKeysTest, EveryMessageOfTheCommandsIsTranslated) {
  const auto cli = sectionKeys("cli");
  const auto catalogue = sectionKeys("catalogue");
  const std::regex call(R"re(\b(?:say|fail|text|Message)\s*[\(\{]\s*\{?)re");
  std::size_t checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KORVELIN_SOURCE_DIR "/cli")) {
    if (entry.path().extension() != ".cpp")
      continue;
    for (const auto& key : literalsAfter(testing::readText(entry.path()), call)) {
      ++checked;
      EXPECT_TRUE(cli.contains(key) || catalogue.contains(key))
          << entry.path().filename() << ": no translation for \"" << key << "\"";
    }
  }
  EXPECT_GT(checked, 150u);
}

}  // namespace
}  // namespace korvelin
