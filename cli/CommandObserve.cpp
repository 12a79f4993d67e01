// korvelin observe PROFILE-UUID [--executable PATH] [--json]

#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/RunReadoption.h"
#include "cli/Text.h"

namespace korvelin::cli {
namespace {

struct ObserveOptions {
  std::string profile;
  std::string executable;
  bool json = false;
};

void printObservation(const ProfileRuntimeObservation& observation) {
  const ProcessSnapshot& run = observation.snapshot;
  printRows({{"run", run.runID.uppercaseString()},
             {"state", std::string(rawValue(run.state))},
             {"pid", text({"{0} (leads process group {1})",
                           {std::to_string(run.rootPID), std::to_string(run.processGroupID)}})},
             {"started", localDateText(run.startedAt)},
             {"executable", observation.rootIdentity.executable},
             {"launch log", run.logPath},
             {"route", observation.usageRoute.description()}},
            13);
}

int observe(ObserveOptions options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  const ProfilePaths paths(*id, global.baseDirectory);
  int status = kExitFailure;
  const auto observation = readoptRun(paths, options.executable, status);
  if (!observation)
    return status;

  // A profile served by a saved connection: is the sidecar that outlived
  // the host still its route, and is the application seen using it?
  std::optional<RestoredProxyObservation> proxy;
  std::optional<ProfileTrafficState> traffic;
  if (const auto connection = savedConnection(*id, global)) {
    proxy = observeRestoredProxy(paths, *connection, *observation);
    const auto context = trafficContext(*observation, *proxy);
    traffic = context ? ProfileTrafficObserver().state(*context, systemNow())
                      : ProfileTrafficState::unavailable();
  }
  if (options.json) {
    nlohmann::json json = *observation;
    if (proxy) {
      json["restoredProxy"] = *proxy;
      json["traffic"] = *traffic;
    }
    printJson(json);
  } else {
    printObservation(*observation);
    if (proxy)
      printRows({{"proxy",
                  text({"{0}, {1}",
                        {std::string(rawValue(proxy->status)), proxy->usageRoute.description()}})},
                 {"traffic", std::string(rawValue(traffic->kind))}},
                13);
  }
  return kExitSuccess;
}

const Registration kRegistration{
    {"observe",
     "Re-adopt a profile's still-running program from its launch lease and show its route",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<ObserveOptions>();
       command.add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       command.add_option(
           "--executable", options->executable,
           text("The program the profile should be running (default: the one the lease recorded)"));
       command.add_flag("--json", options->json, text("Print one JSON object"));
       return [options, &global] { return observe(*options, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
