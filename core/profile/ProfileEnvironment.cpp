#include "core/profile/ProfileEnvironment.h"

#include <unordered_set>

#include "core/base/CoreError.h"
#include "core/text/UnicodeText.h"
#include "core/text/Utf8.h"

namespace korvelin::ProfileEnvironment {

namespace {

[[noreturn]] void fail(std::string text) {
  throw KorvelinCoreError::invalidEnvironmentVariables(std::move(text));
}

std::string_view trimmedWhiteSpace(std::string_view text) {
  return unicode::trimmed(text, unicode::Trim::whiteSpace);
}

// One pair of matching quotes around a value is dropped; nothing inside is
// unescaped, so what the user sees between the quotes is what the
// application gets.
std::string_view unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

}  // namespace

const std::set<std::string, std::less<>> reservedNames = {
    "ALL_PROXY",
    "HTTPS_PROXY",
    "HTTP_PROXY",
    "NO_PROXY",
    "HOME",
    "USERPROFILE",
    "XDG_CACHE_HOME",
    "XDG_CONFIG_HOME",
    "BROWSER",
    "CODEX_HOME",
    "CODEX_SPARKLE_ENABLED",
    "CLAUDE_BROWSER_BRIDGE",
    "ZCODE_HOME",
    "ZCODE_DATA_BASE_DIR",
    "ZCODE_DESKTOP_HOME_DIR",
    "ZCODE_DESKTOP_USER_DATA_DIR",
    "ZCODE_DESKTOP_SESSION_DATA_DIR",
    "ZCODE_DESKTOP_USE_ELECTRON_DEFAULT_USER_DATA",
};

bool isValidName(std::string_view name) {
  auto isLetter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  if (name.empty() || !isLetter(name.front()))
    return false;
  for (char c : name)
    if (!isLetter(c) && !(c >= '0' && c <= '9'))
      return false;
  return true;
}

void validate(const std::vector<ProfileEnvironmentVariable>& variables) {
  std::unordered_set<std::string_view> seen;
  for (const auto& variable : variables) {
    if (!isValidName(variable.name))
      fail("Environment variable names must match [A-Za-z_][A-Za-z0-9_]*.");
    if (reservedNames.count(variable.name))
      fail(variable.name + " is managed by Korvelin and cannot be overridden.");
    if (!seen.insert(variable.name).second)
      fail("Environment variable " + variable.name + " is duplicated.");
    if (variable.value.find('\0') != std::string::npos)
      fail("Environment variable values cannot contain a null byte.");
  }
}

std::vector<ProfileEnvironmentVariable> parseDotEnv(std::string_view text) {
  if (!isValidUtf8(text))
    fail("The imported file must be UTF-8 text.");
  text = unicode::droppingByteOrderMark(text);

  std::vector<ProfileEnvironmentVariable> variables;
  std::unordered_set<std::string_view> keys;
  std::size_t number = 0;
  for (std::string_view line : unicode::splitLines(text)) {
    ++number;
    line = trimmedWhiteSpace(line);
    if (line.empty() || line.front() == '#')
      continue;
    constexpr std::string_view kExport = "export ";
    if (line.substr(0, kExport.size()) == kExport)
      line = trimmedWhiteSpace(line.substr(kExport.size()));

    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos)
      fail("Line " + std::to_string(number) + " must use KEY=VALUE format.");
    const std::string_view key = trimmedWhiteSpace(line.substr(0, equals));
    const std::string_view value = unquoted(trimmedWhiteSpace(line.substr(equals + 1)));
    if (!keys.insert(key).second)
      fail("Environment variable " + std::string(key) + " is duplicated in the imported file.");
    variables.push_back({std::string(key), std::string(value)});
  }
  validate(variables);
  return variables;
}

std::map<std::string, std::string> dictionary(
    const std::vector<ProfileEnvironmentVariable>& variables) {
  validate(variables);
  std::map<std::string, std::string> result;
  for (const auto& variable : variables)
    result.emplace(variable.name, variable.value);
  return result;
}

}  // namespace korvelin::ProfileEnvironment
