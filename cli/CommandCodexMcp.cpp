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
constexpr std::string_view kMarkerHint =
    " config.toml no longer holds the managed block as Korvelin wrote it (another program, such as "
    "`codex mcp add`, may have rewritten it); nothing was changed. Remove the korvelin_youtrack "
    "server "
    "and the marker lines by hand, then run `korvelin codex-mcp reconcile`.";

int failWithHint(const KorvelinCoreError& e) {
  const bool markers = e.detail().starts_with("invalid managed marker");
  return fail(e.errorDescription() + (markers ? std::string(kMarkerHint) : ""));
}

template <typename Change>
int changing(const CodexMcpOptions& options, const GlobalOptions& global, Change&& change) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  const ProfilePaths paths(*id, global.baseDirectory);
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
    return fail("--generation is not a UUID: " + printableText(options.generation), kExitUsage);
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
    else
      std::cout << "installed the managed MCP server in " << paths.codexHome() << "/config.toml\n"
                << "generation " << receipt.generation.lowercaseString() << " (remove takes it)\n";
    return kExitSuccess;
  });
}

// The command line keeps no receipt: the generation install printed stands
// for it. The block must still carry it; the user's edits elsewhere stay.
int runRemove(const CodexMcpOptions& options, const GlobalOptions& global) {
  const auto generation = Uuid::parse(options.generation);
  if (!generation)
    return fail("--generation is not a UUID: " + printableText(options.generation), kExitUsage);
  return changing(options, global, [&](const ProfilePaths& paths) {
    CodexMCPConfigProvisioner provisioner;
    const auto receipt = provisioner.currentReceipt(paths);
    if (!receipt || receipt->generation != *generation) {
      const auto status = provisioner.status(paths);
      if (!status.markerProblem.empty())
        throw KorvelinCoreError::youTrackMCPConfigurationFailed(status.markerProblem);
      return fail("config.toml holds no managed block of generation " +
                  generation->lowercaseString());
    }
    provisioner.remove(paths, *receipt);
    std::cout << "removed the managed MCP server from " << paths.codexHome() << "/config.toml\n";
    return kExitSuccess;
  });
}

int runReconcile(const CodexMcpOptions& options, const GlobalOptions& global) {
  return changing(options, global, [&](const ProfilePaths& paths) {
    CodexMCPConfigProvisioner().reconcile(paths);
    std::cout << "reconciled " << paths.codexHome()
              << "/config.toml: no managed block, no transaction left\n";
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
    auto line = [](std::string_view label, const std::string& value) {
      std::cout << label << std::string(16 - label.size(), ' ') << value << '\n';
    };
    line("codex home", paths.codexHome() + (status.codexHomeExists ? "" : " (does not exist)"));
    line("config.toml",
         status.configExists ? std::to_string(status.configBytes) + " bytes" : "absent");
    if (status.block)
      line("managed block",
           "present, generation " +
               (status.block->generation ? status.block->generation->lowercaseString() : "?") +
               ", port " + (status.block->port ? std::to_string(*status.block->port) : "?") +
               " (capability not shown)");
    else if (!status.markerProblem.empty())
      line("managed block", status.markerProblem + " (rewritten by another program?)");
    else
      line("managed block", "none");
    if (status.serverOutsideBlock)
      line("warning", "a korvelin_youtrack server is defined outside a managed block");
    line("transaction", status.journalPending ? "interrupted (reconcile rolls it back)" : "none");
    for (const auto& name : status.leftovers)
      line("leftover", name + " (reconcile removes it)");
  }
  return status.markerProblem.empty() && !status.serverOutsideBlock ? kExitSuccess : kExitFailure;
}

const Registration kRegistration{
    {"codex-mcp",
     "Install, remove or inspect the managed YouTrack MCP server in a Codex profile's config.toml",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       command.require_subcommand(1);
       command.footer(
           "Every change is one crash-safe transaction in the profile's .codex directory; an "
           "interrupted one is "
           "rolled back to the prior bytes by the next install, remove or reconcile. The "
           "capability is never "
           "printed.");
       auto options = std::make_shared<CodexMcpOptions>();
       auto* install =
           command.add_subcommand("install", "Add the managed block (replacing one left behind)");
       install->add_option("PROFILE-UUID", options->profile, "Profile identifier")->required();
       install->add_option("--port", options->port, "The gateway's loopback port")
           ->required()
           ->check(CLI::Range(1, 65535));
       install
           ->add_option("--capability", options->capability,
                        "- : read the capability from standard input")
           ->required();
       install->add_option("--generation", options->generation,
                           "The installation's UUID (default: a new one)");
       install->add_flag("--json", options->json, "Print the generation, port and size as JSON");
       auto* remove = command.add_subcommand("remove", "Take out the block that install added");
       remove->add_option("PROFILE-UUID", options->profile, "Profile identifier")->required();
       remove->add_option("--generation", options->generation, "The generation install printed")
           ->required();
       auto* reconcile = command.add_subcommand(
           "reconcile", "Roll back an interrupted change and remove any block left behind");
       reconcile->add_option("PROFILE-UUID", options->profile, "Profile identifier")->required();
       auto* status = command.add_subcommand(
           "status", "Show the block, an interrupted change and leftovers (read-only)");
       status->add_option("PROFILE-UUID", options->profile, "Profile identifier")->required();
       status->add_flag("--json", options->json, "Print one JSON object");
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
