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

namespace korvelin::cli {

namespace {
std::vector<CommandSpec>& registry() {
  static std::vector<CommandSpec> commands;
  return commands;
}
}  // namespace

Registration::Registration(CommandSpec definition) { registry().push_back(std::move(definition)); }

const std::vector<CommandSpec>& registeredCommands() { return registry(); }

void printJson(const nlohmann::json& value) {
  std::cout << value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

int fail(const std::string& message, int status) {
  std::cerr << "korvelin: " << printableText(message) << '\n';
  return status;
}

void printLine(std::string_view text) { std::cout << printableText(text) << '\n'; }

void printRows(const std::vector<std::pair<std::string, std::string>>& rows, std::size_t width) {
  for (const auto& [label, value] : rows) {
    std::string line = label;
    line.resize(std::max(width, label.size() + 1), ' ');
    printLine(line + value);
  }
}

std::string localDateText(double unixTime) {
  const auto seconds = static_cast<std::time_t>(std::floor(unixTime));
  std::tm local{};
  char text[64] = {};
  if (!std::isfinite(unixTime) || !::localtime_r(&seconds, &local) ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local) == 0)
    return "(invalid date)";
  return text;
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
  return fail("invalid profile identifier '" + text + "': expected a UUID", kExitUsage);
}

std::optional<Uuid> resolveProfileIdentifier(const std::string& text, const GlobalOptions& global) {
  if (auto id = Uuid::parse(text)) return id;
  std::vector<Uuid> matches;
  for (const auto& profile : ProfileRepository(global.baseDirectory, global.defaultBaseDirectory).load().profiles)
    if (profile.name == text) matches.push_back(profile.id);
  if (matches.size() == 1) return matches.front();
  if (matches.empty())
    fail("no profile named '" + printableText(text) + "' (expected a profile's UUID or the name of a catalogued profile)",
         kExitUsage);
  else
    fail(std::to_string(matches.size()) + " profiles are named '" + printableText(text) + "'; name one by its UUID",
         kExitUsage);
  return std::nullopt;
}

namespace {

// On Linux the default base lies in the XDG data directory, which a fresh
// account may not have yet. Like any XDG application, create what is missing
// of it private (0700); existing directories are left exactly as they are
// for the library to judge.
void createMissingParentsOfDefaultBase(const GlobalOptions& global) {
  const std::string base = standardizedPath(global.baseDirectory);
  if (base != standardizedPath(global.defaultBaseDirectory)) return;
  const std::string parent = deletingLastPathComponent(base);
  for (std::string::size_type end = parent.find('/', 1);; end = parent.find('/', end + 1)) {
    ::mkdir(parent.substr(0, end).c_str(), 0700);
    if (end == std::string::npos) break;
  }
}

}  // namespace

std::unique_ptr<ApplicationInstanceLease> takeInstanceLease(const GlobalOptions& global) {
  createMissingParentsOfDefaultBase(global);
  auto acquisition = ApplicationInstanceLease::acquire(global.baseDirectory, global.defaultBaseDirectory);
  if (acquisition.alreadyRunning()) {
    const std::string base = standardizedPath(global.baseDirectory);
    fail("another copy of Korvelin is using " + base + " (it holds " +
         appendingPathComponent(base, ApplicationInstanceLease::fileName) +
         "); nothing was changed, try again once it has finished");
  }
  return std::move(acquisition.lease);
}

}  // namespace korvelin::cli
