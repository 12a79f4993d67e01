#include "cli/Command.h"
#include "cli/HostClient.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <unistd.h>
#include <chrono>
#include <thread>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <iostream>

#include <nlohmann/json.hpp>

#include "core/apps/CodexInstallation.h"
#include "core/base/JsonSupport.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/files/FilePath.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"
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

namespace {

struct CommandLine {
  std::vector<std::string> words;
  std::vector<std::string> names;
};

CommandLine& commandLine() {
  static CommandLine line;
  return line;
}

bool looksLikeLink(std::string_view word) {
  return word.find("://") != std::string_view::npos ||
         (word.size() >= 6 && std::equal(word.begin(), word.begin() + 6, "vless:",
                                         [](char a, char b) { return std::tolower(a) == b; }));
}

// What a user id (a UUID), a short id or a capability (hexadecimal digits)
// looks like on its own.
bool looksLikeCredential(std::string_view word) {
  return Uuid::parse(std::string(word)).has_value() ||
         (!word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0;
         }));
}

bool isWordCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// Replaces every occurrence of `word` that does not run on into letters or
// digits on either side.
void hide(std::string& text, const std::string& word) {
  static const std::string kHidden = "(not shown)";
  for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at)) {
    const bool standsAlone =
        (at == 0 || !isWordCharacter(text[at - 1])) &&
        (at + word.size() == text.size() || !isWordCharacter(text[at + word.size()]));
    if (!standsAlone) {
      ++at;
      continue;
    }
    text.replace(at, word.size(), kHidden);
    at += kHidden.size();
  }
}

}  // namespace

void rememberCommandLine(std::vector<std::string> words, std::vector<std::string> names) {
  commandLine() = {std::move(words), std::move(names)};
}

std::string shownErrorText(std::string_view message, bool usage) {
  const auto& line = commandLine();
  std::vector<std::string> hidden;
  for (const auto& word : line.words) {
    // "--option=value" shows the option, never the value.
    const auto equals = word.find('=');
    const std::string value = word.starts_with("-") && equals != std::string::npos
                                  ? word.substr(equals + 1)
                              : word.starts_with("-") ? std::string()
                                                      : word;
    if (value.empty() || value == "-")
      continue;
    // Callers may have made the word printable before quoting it.
    if (looksLikeLink(value) ||
        (usage && looksLikeCredential(value) &&
         std::find(line.names.begin(), line.names.end(), value) == line.names.end()))
      hidden.insert(hidden.end(), {value, printableText(value)});
  }
  // Longest first, so that a word inside another is not hidden half-way.
  std::sort(hidden.begin(), hidden.end(),
            [](const auto& a, const auto& b) { return a.size() > b.size(); });
  std::string text(message);
  for (const auto& word : hidden)
    hide(text, word);
  return printableText(text);
}

int fail(const Message& message, int status) {
  std::cerr << "korvelin: " << shownErrorText(text(message), status == kExitUsage) << '\n';
  return status;
}

int failComposed(const std::string& english, int status) {
  std::cerr << "korvelin: "
            << shownErrorText(AppLocalization::render(english, outputLanguage()),
                              status == kExitUsage)
            << '\n';
  return status;
}

std::optional<std::string> readStandardInput(std::size_t maxBytes) {
  auto text = platform::readAllBounded(STDIN_FILENO, maxBytes);
  if (!text)
    return std::nullopt;
  if (!text->empty() && text->back() == '\n')
    text->pop_back();
  if (!text->empty() && text->back() == '\r')
    text->pop_back();
  return text;
}

// A link may hold 32768 bytes; room for the line break `echo` adds.
std::optional<std::string> readLinkFromStandardInput() {
  return readStandardInput(32768 + 2);
}

void printLine(std::string_view text) {
  std::cout << printableText(text) << '\n';
}

// Flushed at once: other programs wait for these lines (a proxy that is ready).
void say(const Message& message) {
  std::cout << printableText(text(message)) << std::endl;
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
  if (auto id = Uuid::parse(text))
    return id;
  std::vector<Uuid> matches;
  for (const auto& profile :
       ProfileRepository(global.baseDirectory, global.defaultBaseDirectory).load().profiles)
    if (profile.name == text)
      matches.push_back(profile.id);
  if (matches.size() == 1)
    return matches.front();
  if (matches.empty())
    fail({"no profile named '{0}' (expected a profile's UUID or the name of a catalogued profile)",
          {text}},
         kExitUsage);
  else
    fail({"{0} profiles are named '{1}'; name one by its UUID",
          {std::to_string(matches.size()), text}},
         kExitUsage);
  return std::nullopt;
}

namespace {

// On Linux the default base lies in the XDG data directory, which a fresh
// account may not have yet. Like any XDG application, create what is missing
// of it private (0700); existing directories are left exactly as they are
// for the library to judge.
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

void createMissingParentsOfDefaultBase(const GlobalOptions& global) {
  const std::string base = standardizedPath(global.baseDirectory);
  if (base != standardizedPath(global.defaultBaseDirectory))
    return;
  // One component at a time, each relative to the directory opened before
  // it and never through a link: a link or anything odd on the way ends the
  // walk, and the library then refuses the base with the reason.
  const std::string parent = deletingLastPathComponent(base);
  platform::ScopedFD directory(platform::retryOnEintr([] { return ::open("/", kDirectoryFlags); }));
  std::string::size_type start = 1;
  while (directory && start < parent.size()) {
    const auto end = std::min(parent.find('/', start), parent.size());
    const std::string name = parent.substr(start, end - start);
    start = end + 1;
    if (name.empty())
      continue;
    ::mkdirat(directory.get(), name.c_str(), 0700);
    directory = platform::ScopedFD(platform::retryOnEintr(
        [&] { return ::openat(directory.get(), name.c_str(), kDirectoryFlags); }));
  }
}

}  // namespace

std::unique_ptr<ApplicationInstanceLease> takeInstanceLease(const GlobalOptions& global) {
  createMissingParentsOfDefaultBase(global);
  auto acquisition =
      ApplicationInstanceLease::acquire(global.baseDirectory, global.defaultBaseDirectory);
  // A running host lends its lease: the change is made under it. A host
  // that is exiting (its socket already gone) lets go of it in a moment.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (acquisition.alreadyRunning()) {
    if (auto lent = borrowHostLease(global))
      return lent;
    if (std::chrono::steady_clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    acquisition =
        ApplicationInstanceLease::acquire(global.baseDirectory, global.defaultBaseDirectory);
  }
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

ProfileChange beginProfileChange(const std::string& profile, const GlobalOptions& global) {
  ProfileChange change;
  change.id = resolveProfileIdentifier(profile, global);
  if (!change.id) {
    change.status = kExitUsage;
    return change;
  }
  change.lease = takeInstanceLease(global);
  if (!change.lease)
    change.status = kExitFailure;
  return change;
}

// An installation record is a few hundred bytes; anything near this is not one.
static constexpr std::size_t kInstallationRecordBytes = 65536;

std::optional<CodexInstallation> readInstallation(const std::string& path) {
  std::string text;
  switch (platform::readRegularFileBounded(path, kInstallationRecordBytes, text)) {
    case platform::BoundedReadStatus::ok:
      break;
    case platform::BoundedReadStatus::tooLarge:
      fail({"installation record {0} is larger than {1} bytes",
            {path, std::to_string(kInstallationRecordBytes)}});
      return std::nullopt;
    case platform::BoundedReadStatus::unreadable:
      fail({"cannot read installation record {0} (a regular file is needed)", {path}});
      return std::nullopt;
  }
  try {
    return nlohmann::json::parse(text).get<CodexInstallation>();
  } catch (const nlohmann::json::exception& e) {
    fail({"invalid installation record {0}: {1}", {path, e.what()}});
  } catch (const jsonio::ShapeError& e) {
    fail({"invalid installation record {0}: {1}", {path, e.what()}});
  }
  return std::nullopt;
}

}  // namespace korvelin::cli
