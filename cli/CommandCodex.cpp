// korvelin codex approvals [--json]

#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/apps/CodexCompatibilityApprovalStore.h"
#include "core/base/Iso8601Date.h"

namespace korvelin::cli {
namespace {

struct CodexOptions {
  bool json = false;
};

int approvals(const CodexOptions& options, const GlobalOptions& global) {
  const CodexCompatibilityApprovalStore store(global.baseDirectory,
                                              ProfilePreparer(global.defaultBaseDirectory));
  const auto approved = store.load();
  if (options.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& approval : approved)
      list.push_back({{"approvedAt", iso8601String(approval.approvedAt)},
                      {"buildVersion", approval.buildVersion},
                      {"bundleIdentifier", approval.bundleIdentifier},
                      {"codeDirectoryHash", approval.codeDirectoryHash},
                      {"marketingVersion", approval.marketingVersion},
                      {"signingTeamIdentifier", approval.signingTeamIdentifier}});
    printJson({{"approvals", list}});
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
       auto* list = command.add_subcommand(
           "approvals", text("List the Codex installations approved on this machine"));
       list->add_flag("--json", options->json, text("Print JSON"));
       return [&global, options] { return approvals(*options, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
