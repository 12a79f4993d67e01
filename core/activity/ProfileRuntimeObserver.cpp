#include "core/activity/ProfileRuntimeObserver.h"

#include <cmath>
#include <cstdlib>
#include <memory>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/ProcessInfo.h"
#include "core/process/LaunchLease.h"
#include "core/process/LaunchLeaseFile.h"

namespace korvelin {

using platform::ScopedFD;

namespace {

constexpr std::string_view kUserDataPrefix = "--user-data-dir=";
// A lease without a recorded identity (written by an older host) is matched
// by start time: the process may have been captured a little before the
// lease's clock reading, and may have started up to a minute after it.
// (Linux derives start times from a boot time counted in whole seconds, so
// they can read up to a second early; only older macOS hosts wrote such
// leases, so the narrow lower bound stays.)
constexpr double kStartedBeforeLeaseTolerance = 0.01;
constexpr double kStartedAfterLeaseTolerance = 60;

std::string pidText(std::int32_t pid) {
  return "process " + std::to_string(pid);
}

}  // namespace

void to_json(nlohmann::json& json, const ProfileRuntimeObservation& observation) {
  json = nlohmann::json{{"snapshot", observation.snapshot},
                        {"usageRoute", observation.usageRoute},
                        {"rootIdentity", observation.rootIdentity}};
}

ProfileRuntimeObservation ProfileRuntimeObserver::observeWithRoute(
    const ProfilePaths& paths,
    const std::string& executablePath,
    std::string* refusalReason) const {
  ProfilePreparer(paths.baseDirectory()).validatePrepared(paths);

  const Uuid& profileID = paths.profileID();
  const auto refused = ErrorFactory::always(KorvelinCoreError::profileRecoveryRequired(profileID),
                                            [&](const std::string& reason) {
                                              if (refusalReason)
                                                *refusalReason = reason;
                                            });

  ScopedFD rootFD, logsFD;
  try {
    rootFD = SecureFileSystem::openManagedRootFD(paths);
    logsFD = SecureFileSystem::openChildDirectoryFD(rootFD.get(), "logs", paths.logs(),
                                                    MissingDirectories::fail,
                                                    &KorvelinCoreError::unsafeProfilePath);
  } catch (const KorvelinCoreError& e) {
    throw refused(e.detail());
  }

  const LaunchLeaseFile leaseFile = readLaunchLease(rootFD.get(), refused, refused);
  const auto lease = parseDurableProcessLease(leaseFile.bytes);
  if (!lease)
    throw refused("the launch lease records no verified running process");
  const std::int32_t pid = lease->rootPID;
  if (pid < 2 || lease->processGroupID != pid)
    throw refused("the launch lease names " + pidText(pid) + " in group " +
                  std::to_string(lease->processGroupID));
  if (!std::isfinite(lease->startedAt))
    throw refused("the launch lease has no valid start time");

  const auto identity = LiveProcessIdentity::capture(pid);
  if (!identity)
    throw refused(pidText(pid) + " is not a live process of this user");
  if (identity->group != pid)
    throw refused(pidText(pid) + " is in process group " + std::to_string(identity->group) +
                  ", not its own");
  const auto expectedExecutable = resolvedPath(executablePath);
  if (!expectedExecutable)
    throw refused("the executable " + executablePath + " cannot be resolved");
  if (identity->executable != *expectedExecutable)
    throw refused(pidText(pid) + " runs " + identity->executable + ", not " + *expectedExecutable);

  const auto arguments = liveArguments(pid);
  if (!arguments)
    throw refused("the arguments of " + pidText(pid) + " cannot be read");
  std::vector<std::string_view> dataDirectories;
  for (const auto& argument : *arguments)
    if (argument.starts_with(kUserDataPrefix))
      dataDirectories.push_back(argument);
  const std::string expectedDataDirectory = std::string(kUserDataPrefix) + paths.userData();
  if (dataDirectories.size() != 1)
    throw refused(pidText(pid) + " has " + std::to_string(dataDirectories.size()) + " " +
                  std::string(kUserDataPrefix) + " arguments, not exactly one");
  if (dataDirectories.front() != expectedDataDirectory)
    throw refused(pidText(pid) + " uses " + std::string(dataDirectories.front()) + ", not " +
                  expectedDataDirectory);

  if (lease->identity) {
    if (*lease->identity != *identity)
      throw refused(pidText(pid) + " is not the process the launch lease recorded");
  } else {
    // The lease's date is the wall clock's, so the start is compared as a
    // date; the final check below still requires the same process.
    const auto record = platform::processRecord(pid);
    if (!record)
      throw refused(pidText(pid) + " is not a live process of this user");
    const double offset = record->startDate - lease->startedAt;
    if (!(offset >= -kStartedBeforeLeaseTolerance && offset <= kStartedAfterLeaseTolerance))
      throw refused(pidText(pid) + " started " + std::to_string(offset) +
                    " s after the launch lease was written, outside -0.01...60 s");
  }

  // Nothing may have changed while the checks ran: the same lease file with
  // the same bytes, and the same process.
  const FileMetadata again = validatedLeaseMetadata(rootFD.get(), leaseFile.fd.get(), refused);
  if (readLeaseBytes(leaseFile.fd.get(), static_cast<std::size_t>(again.info.st_size), refused) !=
      leaseFile.bytes)
    throw refused("the launch lease changed while it was being checked");
  if (!identity->isCurrent())
    throw refused(pidText(pid) + " changed while it was being checked");

  ProfileRuntimeObservation observation{ProcessSnapshot{}, ProfileUsageRoute::observed(*arguments),
                                        *identity};
  ProcessSnapshot& snapshot = observation.snapshot;
  snapshot.profileID = profileID;
  snapshot.runID = lease->runID;
  snapshot.rootPID = pid;
  snapshot.processGroupID = pid;
  snapshot.state = ProcessRunState::running;
  snapshot.startedAt = lease->startedAt;
  snapshot.logPath = appendingPathComponent(paths.logs(), launchLogName(lease->runID));
  return observation;
}

ProcessSnapshot ProfileRuntimeObserver::observe(const ProfilePaths& paths,
                                                const std::string& executablePath,
                                                std::string* refusalReason) const {
  return observeWithRoute(paths, executablePath, refusalReason).snapshot;
}

}  // namespace korvelin
