// korvelin youtrack token set|status|delete, korvelin youtrack serve PROFILE ...

#include <signal.h>

#include <iostream>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/base/CoreError.h"
#include "core/codex/CodexMCPConfigProvisioner.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileRepository.h"
#include "core/youtrack/YouTrackCredentialMutationCoordinator.h"
#include "core/youtrack/YouTrackCredentialStore.h"
#include "core/youtrack/YouTrackMCPGatewaySupervisor.h"

namespace korvelin::cli {
namespace {

struct YouTrackOptions {
  std::string profile;
  std::string upstream;
  std::string certificateAuthorities;
  std::string proxy;
  bool config = false;
  bool printCapability = false;
  bool json = false;
};

// A token change: under the base's lease (a running host lends it), and
// only while no run of any process holds the token in use.
template <typename Change>
int changingToken(const GlobalOptions& global, Change&& change) {
  ProfilePreparer(global.defaultBaseDirectory).prepareBaseDirectory(global.baseDirectory);
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  const auto held = holdYouTrackToken(global.baseDirectory, FileLock::Mode::exclusive);
  YouTrackFileCredentialStore store(global.baseDirectory);
  YouTrackCredentialMutationCoordinator::shared().perform(true, [&] { change(store); });
  return kExitSuccess;
}

int runTokenSet(const GlobalOptions& global) {
  const auto token = readStandardInput(YouTrackTokenValidator::maximumBytes + 2);
  if (!token)
    throw KorvelinCoreError::invalidYouTrackToken();
  const int status =
      changingToken(global, [&](YouTrackFileCredentialStore& store) { store.storeToken(*token); });
  if (status == kExitSuccess)
    say("the YouTrack token is stored");
  return status;
}

int runTokenDelete(const GlobalOptions& global) {
  const int status =
      changingToken(global, [](YouTrackFileCredentialStore& store) { store.deleteToken(); });
  if (status == kExitSuccess)
    say("no YouTrack token is stored now");
  return status;
}

int runTokenStatus(const YouTrackOptions& options, const GlobalOptions& global) {
  const bool configured = YouTrackFileCredentialStore(global.baseDirectory).status() ==
                          YouTrackCredentialStatus::configured;
  if (options.json)
    printJson({{"status", configured ? "configured" : "notConfigured"}});
  else
    say(configured ? "a YouTrack token is stored (not shown)" : "no YouTrack token is stored");
  return configured ? kExitSuccess : kExitFailure;
}

// The proxy the gateway goes through: --proxy, else the profile's own fixed
// proxy. A saved connection is served by a sidecar this command does not
// start, so its address must be given (`usesConnection` says so).
std::optional<ProfileProxyConfiguration> gatewayProxy(const YouTrackOptions& options,
                                                      const Uuid& id,
                                                      const GlobalOptions& global,
                                                      bool& usesConnection) {
  usesConnection = false;
  if (!options.proxy.empty())
    return ProfileProxyConfiguration::fromURI(options.proxy);
  for (const auto& profile :
       ProfileRepository(global.baseDirectory, global.defaultBaseDirectory).load().profiles)
    if (profile.id == id) {
      usesConnection = profile.proxyConnectionID.has_value();
      return profile.proxy;
    }
  return std::nullopt;
}

int runServe(const YouTrackOptions& options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  YouTrackGatewayUpstream upstream{options.upstream, std::nullopt};
  if (!options.certificateAuthorities.empty())
    upstream.certificateAuthorities = options.certificateAuthorities;
  if (!isAcceptableGatewayUpstream(upstream.url))
    return fail("--upstream must be an https URL whose path is /mcp (http only on a loopback host)",
                kExitUsage);
  bool usesConnection = false;
  const auto proxy = gatewayProxy(options, *id, global, usesConnection);
  if (usesConnection)
    return fail(
        "the profile uses a saved connection: start its proxy (korvelin proxy start) and pass its "
        "address with --proxy");
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  const ProfilePaths paths(*id, global.baseDirectory);

  sigset_t stopSignals;
  ::sigemptyset(&stopSignals);
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    ::sigaddset(&stopSignals, s);
  ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  auto& coordinator = YouTrackCredentialMutationCoordinator::shared();
  const Uuid ticket = coordinator.beginLaunch();
  std::optional<FileLock> inUse;
  YouTrackMCPGatewaySupervisor supervisor(upstream);
  CodexMCPConfigProvisioner provisioner;
  std::optional<YouTrackGatewayHandle> handle;
  std::optional<CodexMCPConfigReceipt> receipt;
  try {
    inUse = holdYouTrackToken(global.baseDirectory, FileLock::Mode::shared);
    handle =
        supervisor.start(*id, YouTrackFileCredentialStore(global.baseDirectory).readToken(), proxy);
    if (options.config) {
      ProfilePreparer(global.defaultBaseDirectory).prepare(paths);
      receipt = provisioner.install(paths, handle->generation, handle->port, handle->capability);
    }
  } catch (...) {
    if (handle)
      supervisor.stop(*handle);
    coordinator.finishLaunch(ticket, std::nullopt);
    throw;
  }
  coordinator.finishLaunch(ticket, *id);

  const std::string url = "http://127.0.0.1:" + std::to_string(handle->port) + "/mcp";
  if (options.json) {
    nlohmann::json started = {{"event", "started"},
                              {"url", url},
                              {"port", handle->port},
                              {"generation", handle->generation},
                              {"config", options.config}};
    if (options.printCapability)
      started["capability"] = handle->capability;
    std::cout << started.dump() << std::endl;
  } else {
    say({"YouTrack gateway for {0} at {1}; Ctrl-C stops it", {id->lowercaseString(), url}});
    if (receipt)
      say({"installed the managed MCP server in {0}", {paths.codexHome() + "/config.toml"}});
    if (options.printCapability)
      printLine(handle->capability);
  }

  int signal = 0;
  ::sigwait(&stopSignals, &signal);
  // The block goes first, so that Codex is not left pointing at a closed port.
  int status = kExitSuccess;
  if (receipt) {
    try {
      provisioner.remove(paths, *receipt);
    } catch (const KorvelinCoreError& e) {
      status = failComposed(e.errorDescription());
    }
  }
  supervisor.stop(*handle);
  coordinator.finishRun(*id);
  if (options.json)
    std::cout << nlohmann::json({{"event", "stopped"}}).dump() << std::endl;
  else
    say("YouTrack gateway stopped");
  return status;
}

const Registration kRegistration{
    {"youtrack", "Keep the YouTrack token and serve a profile's local YouTrack MCP gateway",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       command.require_subcommand(1);
       auto options = std::make_shared<YouTrackOptions>();
       auto* token = command.add_subcommand("token", text("Store, check or delete the token"));
       token->require_subcommand(1);
       auto* set = token->add_subcommand(
           "set", text("Store the token read from standard input, replacing one stored"));
       auto* status = token->add_subcommand("status", text("Whether a token is stored"));
       status->add_flag("--json", options->json, text("Print one JSON object"));
       auto* remove = token->add_subcommand("delete", text("Delete the stored token"));
       auto* serve = command.add_subcommand(
           "serve", text("Run the profile's gateway until interrupted (Ctrl-C, SIGTERM)"));
       serve->add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       serve->add_option("--upstream", options->upstream, text("The YouTrack MCP endpoint"))
           ->required();
       serve->add_option("--ca", options->certificateAuthorities,
                         text("PEM file of the authorities to trust instead of the system's"));
       serve->add_option("--proxy", options->proxy,
                         text("http or socks5 proxy scheme://host:port (default: the profile's)"));
       serve->add_flag("--config", options->config,
                       text("Install the managed MCP server in the profile's Codex configuration "
                            "while serving"));
       serve->add_flag("--print-capability", options->printCapability,
                       text("Also print the capability clients must present"));
       serve->add_flag("--json", options->json, text("Print one JSON line per event"));
       command.footer(text(
           "The token is kept in Credentials/mcp.youtrack/shared under the base: a private file "
           "of this user, never printed. set and delete are refused while a gateway of serve or "
           "of the host uses the token."));
       return [options, &global, set, status, remove, serve] {
         if (set->parsed())
           return runTokenSet(global);
         if (status->parsed())
           return runTokenStatus(*options, global);
         if (remove->parsed())
           return runTokenDelete(global);
         (void)serve;
         return runServe(*options, global);
       };
     }}};

}  // namespace
}  // namespace korvelin::cli
