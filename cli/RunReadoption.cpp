#include "cli/RunReadoption.h"

#include <algorithm>
#include <chrono>

#include "cli/Text.h"
#include "core/base/CoreError.h"
#include "core/files/FileSystemSecurity.h"
#include "core/process/LaunchLease.h"
#include "core/process/LaunchLeaseFile.h"
#include "core/profile/ProfileRepository.h"
#include "core/proxy/XraySidecarSupervisor.h"

namespace korvelin::cli {
namespace {

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

}  // namespace

std::optional<ProfileRuntimeObservation> readoptRun(const ProfilePaths& paths,
                                                    std::string executable,
                                                    int& status) {
  status = kExitFailure;
  const Uuid& id = paths.profileID();
  if (!SecureFileSystem::metadata(paths.leaseFile())) {
    fail({"profile {0} has no launch lease: no run to re-adopt", {id.uppercaseString()}});
    return std::nullopt;
  }
  // By default the program is the one the lease recorded: when the lease has
  // an identity, the live process must match it field by field anyway.
  if (executable.empty()) {
    if (auto lease = readableLease(paths)) {
      if (!lease->identity) {
        status = fail(
            "the launch lease records no process identity; name the program with --executable PATH",
            kExitUsage);
        return std::nullopt;
      }
      executable = lease->identity->executable;
    }
  }
  std::string reason;
  try {
    return ProfileRuntimeObserver().observeWithRoute(paths, executable, &reason);
  } catch (const KorvelinCoreError& e) {
    if (e.errorCase() != KorvelinCoreError::Case::profileRecoveryRequired || reason.empty())
      throw;
    fail({"{0} Re-adoption refused: {1}.",
          {AppLocalization::render(e.errorDescription(), outputLanguage()), reason}});
    return std::nullopt;
  }
}

std::optional<Uuid> savedConnection(const Uuid& profileID, const GlobalOptions& global) {
  const auto profiles =
      ProfileRepository(global.baseDirectory, global.defaultBaseDirectory).load().profiles;
  const auto it = std::find_if(profiles.begin(), profiles.end(),
                               [&](const auto& p) { return p.id == profileID; });
  if (it == profiles.end())
    return std::nullopt;
  return it->proxyConnectionID;
}

RestoredProxyObservation observeRestoredProxy(const ProfilePaths& paths,
                                              const Uuid& connectionID,
                                              const ProfileRuntimeObservation& run) {
  // Observing starts nothing and probes nothing: only the listener check is
  // needed.
  const XraySidecarSupervisor supervisor(nullptr, nullptr,
                                         &XraySidecarSupervisor::lsofListenerVerifier, nullptr);
  return supervisor.observeRestoredProxyRoute(paths, connectionID, run.snapshot, run.rootIdentity);
}

std::optional<ProfileTrafficObservationContext> trafficContext(
    const ProfileRuntimeObservation& run,
    const RestoredProxyObservation& proxy) {
  const auto& route = proxy.usageRoute;
  if (proxy.status != RestoredProxyStatus::available || !proxy.xrayIdentity ||
      !route.configuration() || !route.generation())
    return std::nullopt;
  return ProfileTrafficObservationContext{run.snapshot.runID, run.rootIdentity, *proxy.xrayIdentity,
                                          *route.configuration(), *route.generation()};
}

double systemNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::optional<ReadoptedProxiedRun> readoptProxiedRun(const std::string& profile,
                                                     const std::string& executable,
                                                     const GlobalOptions& global,
                                                     int& status) {
  status = kExitUsage;
  const auto id = resolveProfileIdentifier(profile, global);
  if (!id)
    return std::nullopt;
  const auto connection = savedConnection(*id, global);
  if (!connection) {
    status =
        fail({"profile {0} is not configured with a saved connection", {id->uppercaseString()}});
    return std::nullopt;
  }
  ProfilePaths paths(*id, global.baseDirectory);
  status = kExitFailure;
  auto run = readoptRun(paths, executable, status);
  if (!run)
    return std::nullopt;
  auto proxy = observeRestoredProxy(paths, *connection, *run);
  return ReadoptedProxiedRun{std::move(paths), std::move(*run), std::move(proxy)};
}

}  // namespace korvelin::cli
