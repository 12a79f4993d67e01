// The supervisor's look at a sidecar that outlived the host that started it.

#include "core/base/CoreError.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/process/ProcessSupervisor.h"
#include "core/proxy/LegacyXrayRouteObserver.h"
#include "core/proxy/XraySidecarSupervisor.h"

namespace korvelin {

namespace {

RestoredProxyObservation answer(RestoredProxyStatus status) {
  return {status, ProfileUsageRoute::unavailable(), {}, {}};
}

}  // namespace

RestoredProxyObservation XraySidecarSupervisor::observeRestoredProxyRoute(
    const ProfilePaths& paths,
    const Uuid& connectionID,
    const ProcessSnapshot& run,
    const std::optional<LiveProcessIdentity>& rootIdentity) const {
  const auto unverified = answer(RestoredProxyStatus::unverified);
  XrayDurableState record;
  try {
    // Shared and never waited for: a start, stop or recovery under way makes
    // this fail rather than wait.
    record = XrayDurableStateStore().readOnly(paths);
  } catch (...) {
    return unverified;
  }
  if (run.profileID != paths.profileID() || record.status != XrayDurableState::Status::active ||
      record.connectionID != connectionID)
    return answer(RestoredProxyStatus::unavailable);

  if (!record.protocolVersion || *record.protocolVersion == 1) {
    if (!rootIdentity)
      return unverified;
    try {
      LegacyXrayRouteObserver legacy;
      legacy.verifyListener = verifyListener_;
      return legacy.observe(record, paths, run, *rootIdentity);
    } catch (...) {
      return unverified;
    }
  }
  if (*record.protocolVersion != kGuardianProtocolVersion)
    return unverified;

  // Gone: no such process, or only its exit status left for a reaper that
  // may take its time (an orphan's zombie serves nothing either).
  if (record.guardianPID && processHasExited(*record.guardianPID))
    return answer(RestoredProxyStatus::unavailable);
  try {
    // A guardian that stopped answering (even one whose socket still takes
    // connections into its backlog) runs out the request's read time.
    const auto status =
        GuardianStatus::fromReplyLine(requestGuardian(endpointOf(record), "STATUS"));
    if (!record.loopbackPort || !record.generation || !status.child.isCurrent())
      return unverified;
    const auto root = LiveProcessIdentity::capture(run.rootPID);
    if (!status.attached || !root || *root != *status.attached)
      return unverified;
    if (!verifyListener_ || !verifyListener_(status.child.pid, *record.loopbackPort))
      return unverified;
    const ProfileProxyConfiguration route(ProfileProxyScheme::socks5, "127.0.0.1",
                                          *record.loopbackPort);
    return {RestoredProxyStatus::available, ProfileUsageRoute::proxy(route, *record.generation),
            std::nullopt, status.child};
  } catch (...) {
    return unverified;
  }
}

RestoredProxyStatus XraySidecarSupervisor::observeRestoredProxy(const ProfilePaths& paths,
                                                                const Uuid& connectionID,
                                                                const ProcessSnapshot& run) const {
  return observeRestoredProxyRoute(paths, connectionID, run, std::nullopt).status;
}

}  // namespace korvelin
