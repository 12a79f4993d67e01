// korvelin proxy start PROFILE-UUID [--link LINK|-] [--xray PATH] [--guardian PATH] [--probe-url
// URL] [--json] korvelin proxy status PROFILE-UUID [--json] korvelin proxy stop|recover
// PROFILE-UUID korvelin proxy observe PROFILE-UUID [--executable PATH] [--json]

#include <signal.h>

#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/HostClient.h"
#include "cli/RunReadoption.h"
#include "cli/SidecarSetup.h"
#include "core/base/CoreError.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/proxy/VLESSConnection.h"
#include "core/proxy/VLESSConnectionRepository.h"

namespace korvelin::cli {
namespace {

struct ProxyOptions {
  std::string profile;
  std::string link;
  std::string executable;
  std::string connection;
  bool json = false;
  SidecarTools tools = defaultSidecarTools();
};

// The sidecar as the host's: it lives until `korvelin proxy stop` or the
// host's clean stop, and is attached to the profile's run when one starts.
// Absent when no host runs and none may be started.
std::optional<int> startProxyThroughHost(const ProxyOptions& options,
                                         const GlobalOptions& global,
                                         const Uuid& id,
                                         const std::optional<Uuid>& connectionID) {
  HostRequest request;
  request.operation = HostOperation::proxyStart;
  request.profileID = id;
  request.link = options.link;
  request.connectionID = connectionID;
  request.engine = standardizedPath(options.tools.engine);
  request.guardian = standardizedPath(options.tools.guardian);
  request.probeURL = options.tools.probeURL;
  return throughHost(global, request, [&](HostExchange& exchange) {
    const auto& handle = exchange.first.at("handle");
    if (options.json)
      std::cout << handle.dump() << std::endl;
    else
      say(
          {"proxy ready at socks5://127.0.0.1:{0} (engine pid {1}); `korvelin proxy stop` stops "
           "it",
           {std::to_string(handle.at("loopbackPort").get<int>()),
            std::to_string(handle.at("processID").get<int>())}});
    return kExitSuccess;
  });
}

// `proxy stop` and `proxy recover` through the host. Absent when no host runs
// and none may be started.
std::optional<int> stopProxyThroughHost(const Uuid& id, const GlobalOptions& global) {
  HostRequest request;
  request.operation = HostOperation::proxyStop;
  request.profileID = id;
  return throughHost(global, request, [](HostExchange&) {
    say("proxy sidecar stopped and its record cleared");
    return kExitSuccess;
  });
}

int startProxy(ProxyOptions options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  std::optional<Uuid> connectionID;
  if (!options.connection.empty()) {
    connectionID = Uuid::parse(options.connection);
    if (!connectionID)
      return fail("--connection takes the UUID of a saved connection", kExitUsage);
    options.link = VLESSConnectionRepository(global.baseDirectory, global.defaultBaseDirectory)
                       .savedURI(*connectionID);
  } else if (options.link.empty()) {
    return fail("--link LINK (or - to read it from standard input) or --connection ID is required",
                kExitUsage);
  } else if (options.link == "-") {
    auto link = readLinkFromStandardInput();
    if (!link)
      throw KorvelinCoreError::invalidVLESSConfiguration();
    options.link = std::move(*link);
  }
  const VLESSRealityConfiguration configuration(options.link);
  // A link is only ever served by a real engine: the stand-in of the tests
  // would send every request out directly, as if the proxy worked.
  if (options.tools.engine.empty())
    return fail(noRealEngineMessage());
  if (auto status = startProxyThroughHost(options, global, *id, connectionID))
    return *status;
  auto instance = takeInstanceLease(global);
  if (!instance)
    return kExitFailure;
  ProfilePaths paths(*id, global.baseDirectory);
  ProfilePreparer(global.defaultBaseDirectory).prepare(paths);

  sigset_t stopSignals;
  ::sigemptyset(&stopSignals);
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    ::sigaddset(&stopSignals, s);
  ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  auto sidecar = makeSidecarSupervisor(options.tools);
  sidecar->initializeManagedProfile(paths);
  const auto handle =
      sidecar->start(*id, connectionID.value_or(Uuid::random()), configuration, paths);
  if (options.json)
    std::cout << nlohmann::json(handle).dump() << std::endl;
  else
    say({"proxy ready at {0} (engine pid {1}); Ctrl-C stops it",
         {handle.localProxy().uri(), std::to_string(handle.processID)}});
  int signal = 0;
  ::sigwait(&stopSignals, &signal);
  sidecar->stopAndWait(*id, handle.generation, paths);
  if (!options.json)
    say("proxy stopped");
  return kExitSuccess;
}

int proxyStatus(const std::string& profile, bool json, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(profile, global);
  if (!id)
    return kExitUsage;
  ProfilePaths paths(*id, global.baseDirectory);
  if (!SecureFileSystem::metadata(
          appendingPathComponent(paths.root(), XrayDurableStateStore::kStateFileName))) {
    if (json)
      printJson({{"status", "empty"}, {"guardianRunning", false}, {"loopbackPort", nullptr}});
    else
      say("no proxy sidecar is recorded for this profile");
    return kExitSuccess;
  }
  // A writer holding the profile's lock is a start, stop or recovery under
  // way, not a profile that needs recovering.
  bool busy = false;
  XrayDurableState record;
  try {
    record = XrayDurableStateStore(nullptr, [&](const std::string& detail) {
               busy = XrayDurableStateStore::isBusyRefusal(detail);
             }).readOnly(paths);
  } catch (const KorvelinCoreError&) {
    if (busy)
      return fail(
          "a start, stop or recovery of this profile's proxy is in progress; try again once it has "
          "finished");
    throw;
  }
  const bool active = record.status == XrayDurableState::Status::active;
  const bool guardianAlive =
      active && record.guardianIdentity && record.guardianIdentity->isCurrent();
  if (json) {
    printJson(
        {{"status", rawValue(record.status)},
         {"guardianRunning", guardianAlive},
         {"loopbackPort", record.loopbackPort ? nlohmann::json(*record.loopbackPort) : nullptr}});
  } else if (!active) {
    say("no proxy sidecar is recorded for this profile");
  } else {
    const std::string port = std::to_string(record.loopbackPort.value_or(0));
    say(guardianAlive ? Message{"sidecar recorded on 127.0.0.1:{0}; guardian running", {port}}
                      : Message{"sidecar recorded on 127.0.0.1:{0}; guardian gone (run `korvelin "
                                "proxy recover` to "
                                "clear the record)",
                                {port}});
  }
  return kExitSuccess;
}

int recoverProxy(const std::string& profile, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(profile, global);
  if (!id)
    return kExitUsage;
  if (auto status = stopProxyThroughHost(*id, global))
    return *status;
  auto instance = takeInstanceLease(global);
  if (!instance)
    return kExitFailure;
  ProfilePaths paths(*id, global.baseDirectory);
  auto sidecar = makeSidecarSupervisor(defaultSidecarTools());
  if (!sidecar->hasDurableSidecar(*id, paths)) {
    say("no proxy sidecar is recorded for this profile");
    return kExitSuccess;
  }
  try {
    sidecar->recover(*id, paths);
  } catch (const KorvelinCoreError& e) {
    // When the recorded guardian is still the process it was, say which one,
    // so that the person can end it.
    std::optional<LiveProcessIdentity> guardian;
    try {
      guardian = XrayDurableStateStore().readOnly(paths).guardianIdentity;
    } catch (const KorvelinCoreError&) {
    }
    if (!guardian || !guardian->isCurrent())
      throw;
    const std::string pid = std::to_string(guardian->pid);
    return fail(
        {"{0} Its guardian (pid {1}) still runs and did not stop when asked: end it (kill {2}), "
         "then run "
         "`korvelin proxy recover` again.",
         {AppLocalization::render(e.errorDescription(), outputLanguage()), pid, pid}});
  }
  say("proxy sidecar stopped and its record cleared");
  return kExitSuccess;
}

// Exit 0 only when the route through the profile's own sidecar is proved.
int observeProxy(const ProxyOptions& options, const GlobalOptions& global) {
  int status = kExitFailure;
  const auto readopted = readoptProxiedRun(options.profile, options.executable, global, status);
  if (!readopted)
    return status;
  const auto& observation = readopted->proxy;
  if (options.json) {
    printJson(observation);
  } else {
    std::vector<std::pair<Message, std::string>> rows{
        {"status", std::string(rawValue(observation.status))},
        {"route", observation.usageRoute.description()}};
    if (observation.xrayIdentity)
      rows.emplace_back("engine pid", std::to_string(observation.xrayIdentity->pid));
    if (observation.legacyIdentity)
      rows.emplace_back("guardian pid",
                        text({"{0} (started by an earlier version)",
                              {std::to_string(observation.legacyIdentity->guardian.pid)}}));
    printRows(rows, 13);
  }
  return observation.status == RestoredProxyStatus::available ? kExitSuccess : kExitFailure;
}

const Registration kRegistration{
    {"proxy", "Start, inspect, stop or recover a profile's proxy sidecar",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       command.require_subcommand(1);
       auto options = std::make_shared<ProxyOptions>();
       auto* start = command.add_subcommand(
           "start", text("Start a guarded sidecar and keep it until Ctrl-C"));
       start->add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       auto* link = start->add_option(
           "--link", options->link, text("The vless:// link, or - to read it from standard input"));
       start
           ->add_option("--connection", options->connection,
                        text("The UUID of a saved connection (see korvelin connection)"))
           ->excludes(link);
       start->add_option(
           "--xray", options->tools.engine,
           text("The engine (default: the Xray scripts/bootstrap builds in ~/.cache/korvelin)"));
       start->add_option("--guardian", options->tools.guardian, text("The guardian executable"));
       start->add_option("--probe-url", options->tools.probeURL, text("Egress probe URL"))
           ->capture_default_str();
       start->add_flag("--json", options->json, text("Print the sidecar handle as JSON"));
       auto* status = command.add_subcommand("status", text("Show the profile's recorded sidecar"));
       status->add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       status->add_flag("--json", options->json, text("Print JSON"));
       auto* stop =
           command.add_subcommand("stop", text("Stop a sidecar left running by another host"));
       stop->add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       auto* recover = command.add_subcommand(
           "recover", text("Stop or clear a sidecar left by a crashed host"));
       recover->add_option("PROFILE-UUID", options->profile, text("Profile identifier"))
           ->required();
       auto* observe =
           command.add_subcommand("observe", text("Prove, without changing anything, that a "
                                                  "re-adopted run still uses its own sidecar"));
       observe->add_option("PROFILE-UUID", options->profile, text("Profile identifier"))
           ->required();
       observe->add_option(
           "--executable", options->executable,
           text("The program the profile should be running (default: the one the lease recorded)"));
       observe->add_flag("--json", options->json, text("Print JSON"));
       return [options, &global, start, status, observe] {
         if (start->parsed())
           return startProxy(*options, global);
         if (observe->parsed())
           return observeProxy(*options, global);
         if (status->parsed())
           return proxyStatus(options->profile, options->json, global);
         return recoverProxy(options->profile, global);
       };
     }}};

}  // namespace
}  // namespace korvelin::cli
