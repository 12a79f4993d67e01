#include "core/profile/ProfileLaunchArguments.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/platform/FileUtil.h"
#include "core/text/UnicodeText.h"
#include "core/text/Utf8.h"

namespace korvelin::ProfileLaunchArguments {

namespace {

[[noreturn]] void fail(std::string text) {
  throw KorvelinCoreError::invalidLaunchArguments(std::move(text));
}

// The option an argument names: leading dashes removed, cut at the first "="
// or white space, lower-cased ("---Proxy-Server x" names "proxy-server").
std::string optionName(std::string_view argument) {
  argument.remove_prefix(std::min(argument.find_first_not_of('-'), argument.size()));
  argument = argument.substr(0, std::min(argument.find('='), unicode::findWhiteSpace(argument)));
  return unicode::lowercased(argument);
}

bool isManagedOption(const std::string& name) {
  if (reservedOptionNames.count(name))
    return true;
  return std::any_of(reservedOptionPrefixes.begin(), reservedOptionPrefixes.end(),
                     [&](std::string_view prefix) { return name.rfind(prefix, 0) == 0; });
}

std::vector<std::string> parseJsonArray(std::string_view text) {
  std::vector<std::string> arguments;
  try {
    const auto document = nlohmann::json::parse(text.begin(), text.end());
    if (!document.is_array())
      fail("Expected a JSON array of strings.");
    for (const auto& element : document) {
      if (!element.is_string())
        fail("Expected a JSON array of strings.");
      arguments.push_back(element.get<std::string>());
    }
  } catch (const nlohmann::json::exception&) {
    fail("Expected a JSON array of strings.");
  }
  return arguments;
}

// Every non-empty line, as written. Empty lines are dropped anyway, so
// splitting at CR and at LF alike treats CR LF and a lone CR as line ends.
std::vector<std::string> parseLines(std::string_view text) {
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    if (end > start)
      arguments.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

// The extension of the last path component; a leading dot starts a hidden
// name, not an extension.
std::string_view extension(std::string_view path) {
  const std::string_view name = path.substr(path.rfind('/') + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0)
    return {};
  return name.substr(dot + 1);
}

}  // namespace

const std::set<std::string, std::less<>> reservedOptionNames = {
    "user-data-dir",
    "profile-directory",
    "data-dir",
    "disk-cache-dir",
    "homedir",
    "home",
    "config",
    "config-file",
    "codex-home",
    "no-first-run",
    "no-proxy-server",
    "host-resolver-rules",
    "host-rules",
    "type",
    "utility-sub-type",
    "no-sandbox",
    "disable-setuid-sandbox",
    "disable-web-security",
    "ignore-certificate-errors",
    "js-flags",
};

const std::vector<std::string_view> reservedOptionPrefixes = {
    "proxy-", "remote-debugging", "inspect", "ignore-certificate-errors"};

void validate(const std::vector<std::string>& arguments) {
  for (const auto& argument : arguments) {
    if (argument.empty() || argument.find('\0') != std::string::npos)
      fail("Arguments cannot be empty or contain a null byte.");
    // Chromium strips white space from both ends of every argument before it
    // looks for a switch, so an argument is judged in that form: " --x" is
    // the option --x. The trim covers all of Unicode's white space, a little
    // more than Chromium's ASCII set, so that no other reader finds a switch
    // this check missed.
    const std::string_view read = unicode::trimmed(argument, unicode::Trim::whiteSpaceAndNewlines);
    if (read == "--")
      fail("The -- separator is not supported.");
    if (read.empty() || read.front() != '-')
      continue;
    if (isManagedOption(optionName(read)))
      fail("Profile paths, proxy, process and security options are managed by Korvelin.");
  }
}

std::vector<std::string> parse(std::string_view text, bool json) {
  if (!isValidUtf8(text))
    fail("The imported file must be UTF-8 text.");
  text = unicode::droppingByteOrderMark(text);
  auto arguments = json ? parseJsonArray(text) : parseLines(text);
  validate(arguments);
  return arguments;
}

std::vector<std::string> importFile(const std::string& path) {
  // Files the user picks are read with a no-follow, bounded, regular-file-only
  // read; the file is closed before parsing begins.
  std::string content;
  switch (platform::readRegularFileBounded(path, kMaximumImportBytes, content)) {
    case platform::BoundedReadStatus::unreadable:
      fail("The arguments file could not be read.");
    case platform::BoundedReadStatus::tooLarge:
      fail("The imported file exceeds 1 MiB.");
    case platform::BoundedReadStatus::ok:
      break;
  }
  return parse(content, extension(path) == "json");
}

}  // namespace korvelin::ProfileLaunchArguments
