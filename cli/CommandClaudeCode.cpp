// korvelin claude-code find [--home DIR] [--json]

#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/apps/ChromeInstallation.h"
#include "core/apps/ClaudeCodeInstallation.h"

namespace korvelin::cli {
namespace {

struct ClaudeCodeOptions {
  std::string home;
  bool json = false;
};

int findClaudeCode(const ClaudeCodeOptions& options) {
  if (!options.home.empty() && options.home.front() != '/')
    return fail("--home must be an absolute path", kExitUsage);
  auto home = options.home.empty() ? ChromeLaunchAdapter::passwordDatabaseHome()
                                   : std::optional<std::string>(options.home);
  if (!home || home->empty())
    return fail("cannot tell the account's home directory; name it with --home");
  const auto versions = ClaudeCodeInstallation::versionsDirectory(*home);
  const auto executable = ClaudeCodeInstallation().executable(*home);
  if (options.json) {
    printJson({{"versionsDirectory", versions},
               {"executable", executable ? nlohmann::json(*executable) : nlohmann::json(nullptr)}});
    return executable ? kExitSuccess : kExitFailure;
  }
  if (!executable)
    // The directory is not named: it holds whatever --home was typed as.
    return fail("no verified Claude Code installation in that home directory");
  printLine(*executable);
  return kExitSuccess;
}

const Registration kRegistration{
    {"claude-code", "Find the Claude Code tool a Claude desktop profile is given",
     [](CLI::App& command, const GlobalOptions&) -> Runner {
       command.require_subcommand(1);
       auto options = std::make_shared<ClaudeCodeOptions>();
       auto* find =
           command.add_subcommand("find", text("Print the newest verified Claude Code executable"));
       find->add_option("--home", options->home,
                        text("The home directory to look in (default: the account's, from the "
                             "password database)"));
       find->add_flag("--json", options->json, text("Print one JSON object"));
       find->footer(text(
           "Versions are the directories of dot-separated numbers under the versions "
           "directory, newest first (2.1.10 after 2.1.9); a version is skipped when a symbolic "
           "link lies on its executable's path, the executable is not a regular executable "
           "file inside claude.app, or its signature is not Claude Code's."));
       return [options] { return findClaudeCode(*options); };
     }}};

}  // namespace
}  // namespace korvelin::cli
