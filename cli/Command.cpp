#include "cli/Command.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <iostream>

#include <nlohmann/json.hpp>

#include "core/files/ApplicationInstanceLease.h"
#include "core/files/FilePath.h"
#include "core/profile/ProfileRepository.h"
#include "core/text/UnicodeText.h"

namespace korvelin::cli {

namespace {
std::vector<CommandSpec>& registry() {
  static std::vector<CommandSpec> commands;
  return commands;
}
}  // namespace

Registration::Registration(CommandSpec definition) {
  registry().push_back(std::move(definition));
}

const std::vector<CommandSpec>& registeredCommands() {
  return registry();
}

void printJson(const nlohmann::json& value) {
  std::cout << value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

int fail(const Message& message, int status) {
  std::cerr << "korvelin: " << printableText(text(message)) << '\n';
  return status;
}

int failComposed(const std::string& english, int status) {
  std::cerr << "korvelin: " << printableText(AppLocalization::render(english, outputLanguage()))
            << '\n';
  return status;
}

// Flushed at once: other programs wait for these lines (a proxy that is ready).
void say(const Message& message) {
  std::cout << printableText(text(message)) << std::endl;
}

void printLine(std::string_view text) {
  std::cout << printableText(text) << '\n';
}

void printLines(std::string_view text) {
  for (;;) {
    const auto end = text.find('\n');
    printLine(text.substr(0, end));
    if (end == std::string_view::npos)
      break;
    text.remove_prefix(end + 1);
  }
}

void printRows(const std::vector<std::pair<Message, std::string>>& rows, std::size_t width) {
  for (const auto& [label, value] : rows) {
    const std::string shown = text(label);
    const std::size_t columns = unicode::displayWidth(shown);
    printLine(shown + std::string(columns < width ? width - columns : 1, ' ') + value);
  }
}

std::string localDateText(double unixTime) {
  const auto seconds = static_cast<std::time_t>(std::floor(unixTime));
  std::tm local{};
  char formatted[64] = {};
  if (!std::isfinite(unixTime) || !::localtime_r(&seconds, &local) ||
      std::strftime(formatted, sizeof formatted, "%Y-%m-%d %H:%M:%S %z", &local) == 0)
    return text("(invalid date)");
  return formatted;
}

std::optional<int> parseProcessIdentifier(const std::string& text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 1 ||
      text.front() == '+' || text.front() == '-')
    return std::nullopt;
  return value;
}

int invalidProfileIdentifier(const std::string& text) {
  return fail({"invalid profile identifier '{0}': expected a UUID", {printableText(text)}},
              kExitUsage);
}

std::optional<Uuid> resolveProfileIdentifier(const std::string& text, const GlobalOptions& global) {
  if (auto id = Uuid::parse(text)) return id;
  std::vector<Uuid> matches;
  for (const auto& profile : ProfileRepository(global.baseDirectory, global.defaultBaseDirectory).load().profiles)
    if (profile.name == text) matches.push_back(profile.id);
  if (matches.size() == 1) return matches.front();
  if (matches.empty())
    fail({"no profile named '{0}' (expected a profile's UUID or the name of a catalogued profile)", {text}},
         kExitUsage);
  else
    fail({"{0} profiles are named '{1}'; name one by its UUID", {std::to_string(matches.size()), text}}, kExitUsage);
  return std::nullopt;
}

namespace {

// On Linux the default base lies in the XDG data directory, which a fresh
// account may not have yet. Like any XDG application, create what is missing
// of it private (0700); existing directories are left exactly as they are
// for the library to judge.
void createMissingParentsOfDefaultBase(const GlobalOptions& global) {
  const std::string base = standardizedPath(global.baseDirectory);
  if (base != standardizedPath(global.defaultBaseDirectory))
    return;
  const std::string parent = deletingLastPathComponent(base);
  for (std::string::size_type end = parent.find('/', 1);; end = parent.find('/', end + 1)) {
    ::mkdir(parent.substr(0, end).c_str(), 0700);
    if (end == std::string::npos)
      break;
  }
}

}  // namespace

std::unique_ptr<ApplicationInstanceLease> takeInstanceLease(const GlobalOptions& global) {
  createMissingParentsOfDefaultBase(global);
  auto acquisition =
      ApplicationInstanceLease::acquire(global.baseDirectory, global.defaultBaseDirectory);
  if (acquisition.alreadyRunning()) {
    const std::string base = standardizedPath(global.baseDirectory);
    fail(
        {"another copy of Korvelin is using {0} (it holds {1}); nothing was changed, try again "
         "once it has "
         "finished",
         {base, appendingPathComponent(base, ApplicationInstanceLease::fileName)}});
  }
  return std::move(acquisition.lease);
}

}  // namespace korvelin::cli
