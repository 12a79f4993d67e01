#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"
#include "core/text/PrintableText.h"

namespace korvelin {
class ApplicationInstanceLease;
}  // namespace korvelin

namespace korvelin::cli {

// Options every command sees.
struct GlobalOptions {
  std::string baseDirectory;         // --base, defaulting to the OS default base
  std::string defaultBaseDirectory;  // the OS default base, whatever --base says
  bool baseGiven = false;            // --base was on the command line
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
// indent) and one-line errors on standard error prefixed "korvelin: ", with
// anything that is not printable text replaced. Errors never show a link (it
// carries the user's credentials), wherever it was typed, and usage errors
// (status kExitUsage) show no word of the command line that could be a user
// id, a short id or a capability either (a UUID, or only hexadecimal digits):
// such a word typed in the wrong place lands in the message. Every error
// passes through here.
void printJson(const nlohmann::json& value);
int fail(const std::string& message, int status = kExitFailure);

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

// Text for people: one line on standard output, and label/value rows with
// the labels padded to `width`. Both pass what they print through
// `printableText` (core/text/PrintableText.h), as `fail` does.
void printLine(std::string_view text);
void printRows(const std::vector<std::pair<std::string, std::string>>& rows, std::size_t width);

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

}  // namespace korvelin::cli
