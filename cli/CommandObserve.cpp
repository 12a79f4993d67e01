// korvelin observe PROFILE-UUID [--executable PATH] [--json]

#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/activity/ProfileRuntimeObserver.h"
#include "core/base/CoreError.h"
#include "core/files/FileSystemSecurity.h"
#include "core/process/LaunchLease.h"
#include "core/process/LaunchLeaseFile.h"

namespace korvelin::cli {
namespace {

struct ObserveOptions {
  std::string profile;
  std::string executable;
  bool json = false;
};

// The lease as re-adoption would read it, or absent when it cannot be read;
// the observer then says why.
std::optional<DurableProcessLease> readableLease(const ProfilePaths& paths) {
  try {
    const auto root = SecureFileSystem::openManagedRootFD(paths);
    const auto error =
        ErrorFactory::always(KorvelinCoreError::profileRecoveryRequired(paths.profileID()));
    return parseDurableProcessLease(readLaunchLease(root.get(), error, error).bytes);
  } catch (const KorvelinCoreError&) {
    return std::nullopt;
  }
}

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
  if (!SecureFileSystem::metadata(paths.leaseFile()))
    return fail({"profile {0} has no launch lease: no run to re-adopt", {id->uppercaseString()}});

  // By default the program is the one the lease recorded: when the lease has
  // an identity, the live process must match it field by field anyway.
  if (options.executable.empty()) {
    if (auto lease = readableLease(paths)) {
      if (!lease->identity)
        return fail(
            "the launch lease records no process identity; name the program with --executable PATH",
            kExitUsage);
      options.executable = lease->identity->executable;
    }
  }

  std::string reason;
  try {
    const auto observation =
        ProfileRuntimeObserver().observeWithRoute(paths, options.executable, &reason);
    if (options.json)
      printJson(observation);
    else
      printObservation(observation);
    return kExitSuccess;
  } catch (const KorvelinCoreError& e) {
    if (e.errorCase() != KorvelinCoreError::Case::profileRecoveryRequired || reason.empty())
      throw;
    return fail({"{0} Re-adoption refused: {1}.",
                 {AppLocalization::render(e.errorDescription(), outputLanguage()), reason}});
  }
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
