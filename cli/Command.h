#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json_fwd.hpp>

#include "cli/Text.h"
#include "core/base/Uuid.h"
#include "core/text/PrintableText.h"

namespace korvelin {
class ApplicationInstanceLease;
struct CodexInstallation;
}  // namespace korvelin

namespace korvelin::cli {

// Options every command sees.
struct GlobalOptions {
  std::string baseDirectory;         // --base, defaulting to the OS default base
  std::string defaultBaseDirectory;  // the OS default base, whatever --base says
  bool baseGiven = false;            // --base was on the command line
  bool noHostStart = false;          // --no-host-start: never start a host on demand
};

// What a command does once the command line is parsed; returns the exit status.
using Runner = std::function<int()>;

// Declares a command's options on `command` and returns its runner. The
// options live in state the setup function captures in the runner.
using CommandSetup = std::function<Runner(CLI::App& command, const GlobalOptions& global)>;

struct CommandSpec {
  std::string name;
  std::string description;
  CommandSetup setup;
};

// Commands register themselves from their own file:
//   const Registration kRegistration{{"name", "description", setup}};
struct Registration {
  explicit Registration(CommandSpec definition);
};

const std::vector<CommandSpec>& registeredCommands();

// Exit statuses.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // the operation failed or found nothing
inline constexpr int kExitUsage = 2;    // the command line was wrong

// Output shared by commands: machine-readable JSON (sorted keys, two-space
// indent, English keys) and, for people, messages in the output language
// (Text.h): one-line errors on standard error prefixed "korvelin: ", lines
// and label/value rows on standard output. Whatever is printed for people
// passes through `printableText` (core/text/PrintableText.h). Errors never
// show a link (it carries the user's credentials), wherever it was typed, and
// usage errors (status kExitUsage) show no word of the command line that
// could be a user id, a short id or a capability either (a UUID, or only
// hexadecimal digits): such a word typed in the wrong place lands in the
// message. Every error passes through here.
void printJson(const nlohmann::json& value);
int fail(const Message& message, int status = kExitFailure);
// An error the library composed in English (a KorvelinCoreError's
// description), translated through the library's catalogue.
int failComposed(const std::string& english, int status = kExitFailure);
// One line on standard output, flushed.
void say(const Message& message);

// What `fail` filters against: the command line's words, and the names of
// commands, which are always shown (so are options, starting with "-").
void rememberCommandLine(std::vector<std::string> words, std::vector<std::string> names);
// `message` as an error may show it: the command line's words that look like
// a link (and, for usage errors, like a credential) replaced by
// "(not shown)", then made printable.
std::string shownErrorText(std::string_view message, bool usage);

// Standard input to its end, without the one line break that ends it; absent
// for more than `maxBytes` (never read further) or a read error. Every
// command that reads standard input reads it through here.
std::optional<std::string> readStandardInput(std::size_t maxBytes);
// A link from standard input (for LINK "-"): at most a link's 32768 bytes and
// a line break.
std::optional<std::string> readLinkFromStandardInput();

// A moment (seconds since 1970) in the local time zone, as
// "2026-01-05 10:20:30 +0100".
std::string localDateText(double unixTime);

// Label/value rows with the translated labels padded to `width` columns as
// a terminal shows them; and one line of data (a path, an argument) that is
// not translated.
void printRows(const std::vector<std::pair<Message, std::string>>& rows, std::size_t width);
void printLine(std::string_view text);
// `text` line by line (each line as printLine prints it).
void printLines(std::string_view text);

// Parses a decimal process identifier (1...INT32_MAX); absent otherwise.
std::optional<int> parseProcessIdentifier(const std::string& text);

// The one-line usage error for a profile identifier that is not a UUID;
// returns the usage exit status.
int invalidProfileIdentifier(const std::string& text);

// The profile a command line names: a UUID (catalogued or not), or else the
// name of exactly one catalogued profile. Absent after a one-line usage
// error when the text is neither, or when several profiles share the name.
// A catalogue that cannot be read fails the command with its error.
std::optional<Uuid> resolveProfileIdentifier(const std::string& text, const GlobalOptions& global);

// Every command that changes something in the base directory holds the
// single-instance lease while it runs, so that it never works alongside the
// application or another korvelin. Returns the lease, or null after telling
// the user that another copy holds it. Unsafe bases throw
// ApplicationInstanceLeaseError. Read-only commands do not take it.
std::unique_ptr<ApplicationInstanceLease> takeInstanceLease(const GlobalOptions& global);

// The opening of every command that changes one profile: the profile named
// on the command line resolved, then the single-instance lease taken. False
// after telling the user why not; `status` is then the exit status.
struct ProfileChange {
  std::optional<Uuid> id;
  std::unique_ptr<ApplicationInstanceLease> lease;
  int status = kExitSuccess;

  explicit operator bool() const { return id && lease; }
};
ProfileChange beginProfileChange(const std::string& profile, const GlobalOptions& global);

// The verified installation record in the JSON file `path` (the keys of
// `CodexInstallation`); absent after a one-line error when it cannot be read
// or decoded.
std::optional<CodexInstallation> readInstallation(const std::string& path);

}  // namespace korvelin::cli
