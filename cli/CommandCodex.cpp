// korvelin codex check BUNDLE [--timeout S] [--json]
// korvelin codex approvals [--json]

#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/RunSupervision.h"
#include "core/apps/CodexCompatibilityProbe.h"
#include "core/base/Iso8601Date.h"
#include "core/files/ApplicationInstanceLease.h"

namespace korvelin::cli {
namespace {

struct CodexOptions {
  std::string bundle;
  double timeout = 60;
  bool json = false;
};

std::string versionText(const CodexInstallation& installation) {
  return installation.marketingVersion + " (" + installation.buildVersion + ")";
}

int check(const CodexOptions& options, const GlobalOptions& global) {
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  // An interrupted check would leave its run behind; Ctrl-C, SIGTERM and
  // SIGHUP wait until the probe has stopped what it started.
  blockStopSignals();
  const CodexCompatibilityProbe probe(global.baseDirectory, global.defaultBaseDirectory,
                                      options.timeout);
  const auto installation = probe.adapter().inspect(options.bundle);
  const bool needsCheck =
      installation.compatibilityStatus == CodexCompatibilityStatus::unverifiedVersion;
  if (needsCheck && !options.json)
    say({"checking Codex {0} in a throw-away profile (up to {1} seconds)...",
         {versionText(installation), std::to_string(static_cast<long>(options.timeout))}});
  const auto checked = probe.check(installation);
  if (options.json) {
    printJson({{"checked", needsCheck}, {"installation", checked}});
  } else if (!needsCheck) {
    say({"Codex {0} is {1}; it needs no check",
         {versionText(checked), std::string(rawValue(checked.compatibilityStatus))}});
  } else {
    say({"Codex {0} kept to its profile and is approved for launching ({1})",
         {versionText(checked), std::string(rawValue(checked.compatibilityStatus))}});
  }
  return kExitSuccess;
}

int approvals(const CodexOptions& options, const GlobalOptions& global) {
  const CodexCompatibilityApprovalStore store(global.baseDirectory,
                                              ProfilePreparer(global.defaultBaseDirectory));
  const auto approved = store.load();
  if (options.json) {
    printJson({{"approvals", approved}});
    return kExitSuccess;
  }
  if (approved.empty())
    say("no Codex version was approved on this machine");
  for (const auto& approval : approved)
    say({"{0} {1} ({2}), team {3}, code {4}, approved {5}",
         {approval.bundleIdentifier, approval.marketingVersion, approval.buildVersion,
          approval.signingTeamIdentifier, approval.codeDirectoryHash,
          iso8601String(approval.approvedAt)}});
  return kExitSuccess;
}

const Registration kRegistration{
    {"codex", "Check an installed Codex version and list the versions approved on this machine",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       command.require_subcommand(1);
       command.footer(text(
           "Codex is launched only in the two versions known to keep to a profile, or in a "
           "version that `korvelin codex check` ran once in a throw-away profile under "
           "CompatibilityChecks in the base and saw create its state there. The approval holds "
           "for exactly that installation (versions, team and code hash) and is kept in "
           "codex-compatibility.json in the base."));
       auto options = std::make_shared<CodexOptions>();
       auto* checkCommand = command.add_subcommand(
           "check",
           text("Run the Codex of BUNDLE once in a throw-away profile and approve its version"));
       checkCommand->add_option("BUNDLE", options->bundle, text("The ChatGPT application bundle"))
           ->required();
       checkCommand
           ->add_option("--timeout", options->timeout,
                        text("Seconds to wait for Codex to create its state (default 60)"))
           ->check(CLI::Range(0.1, 3600.0));
       checkCommand->add_flag("--json", options->json,
                              text("Print the installation as inspected after the check"));
       auto* list = command.add_subcommand(
           "approvals", text("List the Codex installations approved on this machine"));
       list->add_flag("--json", options->json, text("Print JSON"));
       return [&global, checkCommand, options] {
         return checkCommand->parsed() ? check(*options, global) : approvals(*options, global);
       };
     }}};

}  // namespace
}  // namespace korvelin::cli
