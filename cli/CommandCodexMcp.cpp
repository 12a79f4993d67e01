// korvelin codex-mcp install|remove|reconcile|status PROFILE-UUID ...

#include <iostream>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/base/CoreError.h"
#include "core/codex/CodexMCPConfigBlock.h"
#include "core/codex/CodexMCPConfigProvisioner.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin::cli {
namespace {

struct CodexMcpOptions {
  std::string profile;
  int port = 0;
  std::string capability;
  std::string generation;
  bool json = false;
};

// What to tell a person whose config.toml another program rewrote.
int failWithHint(const KorvelinCoreError& e) {
  if (!e.detail().starts_with("invalid managed marker"))
    return failComposed(e.errorDescription());
  return fail(
      {"{0} config.toml no longer holds the managed block as Korvelin wrote it (another program, "
       "such "
       "as `codex mcp add`, may have rewritten it); nothing was changed. Remove the "
       "korvelin_youtrack "
       "server and the marker lines by hand, then run `korvelin codex-mcp reconcile`.",
       {AppLocalization::render(e.errorDescription(), outputLanguage())}});
}

template <typename Change>
int changing(const CodexMcpOptions& options, const GlobalOptions& global, Change&& change) {
  const auto opening = beginProfileChange(options.profile, global);
  if (!opening)
    return opening.status;
  const ProfilePaths paths(*opening.id, global.baseDirectory);
  try {
    return change(paths);
  } catch (const KorvelinCoreError& e) {
    return failWithHint(e);
  }
}

int runInstall(const CodexMcpOptions& options, const GlobalOptions& global) {
  if (options.capability != "-")
    return fail("the capability is read from standard input: pass --capability -", kExitUsage);
  std::optional<Uuid> generation = Uuid::random();
  if (!options.generation.empty() && !(generation = Uuid::parse(options.generation)))
    return fail({"--generation is not a UUID: {0}", {options.generation}}, kExitUsage);
  // One line of at most 4096 characters and its line break.
  const std::string capability = readStandardInput(4096 + 2).value_or("");
  if (!codexmcp::isValidCapability(capability))
    return fail("the capability must be 1 to 4096 characters of A-Z a-z 0-9 . _ ~ + / = -",
                kExitUsage);
  return changing(options, global, [&](const ProfilePaths& paths) {
    ProfilePreparer(global.defaultBaseDirectory).prepare(paths);
    const auto receipt = CodexMCPConfigProvisioner().install(
        paths, *generation, static_cast<std::uint16_t>(options.port), capability);
    if (options.json)
      printJson({{"generation", receipt.generation},
                 {"port", options.port},
                 {"bytes", receipt.installedBytes.size()}});
    else {
      say({"installed the managed MCP server in {0}", {paths.codexHome() + "/config.toml"}});
      say({"generation {0} (remove takes it)", {receipt.generation.lowercaseString()}});
    }
    return kExitSuccess;
  });
}

// The command line keeps no receipt: the generation install printed stands
// for it. The block must still carry it; the user's edits elsewhere stay.
int runRemove(const CodexMcpOptions& options, const GlobalOptions& global) {
  const auto generation = Uuid::parse(options.generation);
  if (!generation)
    return fail({"--generation is not a UUID: {0}", {options.generation}}, kExitUsage);
  return changing(options, global, [&](const ProfilePaths& paths) {
    CodexMCPConfigProvisioner provisioner;
    const auto receipt = provisioner.currentReceipt(paths);
    if (!receipt || receipt->generation != *generation) {
      const auto status = provisioner.status(paths);
      if (!status.markerProblem.empty())
        throw KorvelinCoreError::youTrackMCPConfigurationFailed(status.markerProblem);
      return fail({"config.toml holds no managed block of generation {0}",
                   {generation->lowercaseString()}});
    }
    provisioner.remove(paths, *receipt);
    say({"removed the managed MCP server from {0}", {paths.codexHome() + "/config.toml"}});
    return kExitSuccess;
  });
}

int runReconcile(const CodexMcpOptions& options, const GlobalOptions& global) {
  return changing(options, global, [&](const ProfilePaths& paths) {
    CodexMCPConfigProvisioner().reconcile(paths);
    say({"reconciled {0}: no managed block, no transaction left",
         {paths.codexHome() + "/config.toml"}});
    return kExitSuccess;
  });
}

int runStatus(const CodexMcpOptions& options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  const ProfilePaths paths(*id, global.baseDirectory);
  CodexMCPConfigStatus status;
  try {
    status = CodexMCPConfigProvisioner().status(paths);
  } catch (const KorvelinCoreError& e) {
    return failWithHint(e);
  }
  if (options.json) {
    nlohmann::json json = {{"codexHomeExists", status.codexHomeExists},
                           {"configExists", status.configExists},
                           {"configBytes", status.configBytes},
                           {"journalPending", status.journalPending},
                           {"leftovers", status.leftovers},
                           {"serverOutsideBlock", status.serverOutsideBlock},
                           {"markerProblem", nullptr},
                           {"block", nullptr}};
    if (!status.markerProblem.empty())
      json["markerProblem"] = status.markerProblem;
    if (status.block) {
      json["block"] = nlohmann::json::object();
      if (status.block->generation)
        json["block"]["generation"] = *status.block->generation;
      if (status.block->port)
        json["block"]["port"] = *status.block->port;
    }
    printJson(json);
  } else {
    std::vector<std::pair<Message, std::string>> rows;
    rows.emplace_back("codex home", status.codexHomeExists
                                        ? paths.codexHome()
                                        : text({"{0} (does not exist)", {paths.codexHome()}}));
    rows.emplace_back("config.toml", status.configExists
                                         ? text({"{0} bytes", {std::to_string(status.configBytes)}})
                                         : text("absent"));
    if (status.block)
      rows.emplace_back(
          "managed block",
          text({"present, generation {0}, port {1} (capability not shown)",
                {status.block->generation ? status.block->generation->lowercaseString() : "?",
                 status.block->port ? std::to_string(*status.block->port) : "?"}}));
    else if (!status.markerProblem.empty())
      rows.emplace_back("managed block",
                        text({"{0} (rewritten by another program?)", {status.markerProblem}}));
    else
      rows.emplace_back("managed block", text("none"));
    if (status.serverOutsideBlock)
      rows.emplace_back("warning",
                        text("a korvelin_youtrack server is defined outside a managed block"));
    rows.emplace_back("transaction", status.journalPending
                                         ? text("interrupted (reconcile rolls it back)")
                                         : text("none"));
    for (const auto& name : status.leftovers)
      rows.emplace_back("leftover", text({"{0} (reconcile removes it)", {name}}));
    printRows(rows, 16);
  }
  return status.markerProblem.empty() && !status.serverOutsideBlock ? kExitSuccess : kExitFailure;
}

const Registration kRegistration{
    {"codex-mcp",
     "Install, remove or inspect the managed YouTrack MCP server in a Codex profile's config.toml",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       command.require_subcommand(1);
       command.footer(
           text("Every change is one crash-safe transaction in the profile's .codex directory; an "
                "interrupted "
                "one is rolled back to the prior bytes by the next install, remove or reconcile. "
                "The capability "
                "is never printed."));
       auto options = std::make_shared<CodexMcpOptions>();
       auto* install = command.add_subcommand(
           "install", text("Add the managed block (replacing one left behind)"));
       install->add_option("PROFILE-UUID", options->profile, text("Profile identifier"))
           ->required();
       install->add_option("--port", options->port, text("The gateway's loopback port"))
           ->required()
           ->check(CLI::Range(1, 65535));
       install
           ->add_option("--capability", options->capability,
                        text("- : read the capability from standard input"))
           ->required();
       install->add_option("--generation", options->generation,
                           text("The installation's UUID (default: a new one)"));
       install->add_flag("--json", options->json,
                         text("Print the generation, port and size as JSON"));
       auto* remove =
           command.add_subcommand("remove", text("Take out the block that install added"));
       remove->add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       remove
           ->add_option("--generation", options->generation, text("The generation install printed"))
           ->required();
       auto* reconcile = command.add_subcommand(
           "reconcile", text("Roll back an interrupted change and remove any block left behind"));
       reconcile->add_option("PROFILE-UUID", options->profile, text("Profile identifier"))
           ->required();
       auto* status = command.add_subcommand(
           "status", text("Show the block, an interrupted change and leftovers (read-only)"));
       status->add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       status->add_flag("--json", options->json, text("Print one JSON object"));
       return [options, &global, install, remove, reconcile] {
         if (install->parsed())
           return runInstall(*options, global);
         if (remove->parsed())
           return runRemove(*options, global);
         if (reconcile->parsed())
           return runReconcile(*options, global);
         return runStatus(*options, global);
       };
     }}};

}  // namespace
}  // namespace korvelin::cli
