#pragma once

// Re-adopting a profile's still-running program after the host ended, and
// what can then be proved about its proxy: shared by `korvelin observe`,
// `korvelin proxy observe` and `korvelin traffic`.

#include <optional>
#include <string>

#include "cli/Command.h"
#include "core/activity/ProfileRuntimeObserver.h"
#include "core/activity/ProfileTrafficObserver.h"
#include "core/activity/ProfileUsageRoute.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin::cli {

// The run the profile's launch lease names, proved live; `executable` empty
// means the program the lease recorded. Absent after a one-line error, with
// the exit status in `status`.
std::optional<ProfileRuntimeObservation> readoptRun(const ProfilePaths& paths,
                                                    std::string executable,
                                                    int& status);

// The saved VLESS connection the catalogue gives the profile, if any.
std::optional<Uuid> savedConnection(const Uuid& profileID, const GlobalOptions& global);

// The restored-proxy observation of a re-adopted run (asks the guardian, or
// looks at an older sidecar from the outside, checking listeners with lsof).
RestoredProxyObservation observeRestoredProxy(const ProfilePaths& paths,
                                              const Uuid& connectionID,
                                              const ProfileRuntimeObservation& run);

// What the traffic observer needs, from an `available` observation.
std::optional<ProfileTrafficObservationContext> trafficContext(
    const ProfileRuntimeObservation& run,
    const RestoredProxyObservation& proxy);

// A profile with a saved connection whose run was re-adopted, with what the
// restored-proxy observation proved about its sidecar.
struct ReadoptedProxiedRun {
  ProfilePaths paths;
  ProfileRuntimeObservation run;
  RestoredProxyObservation proxy;
};

// Resolves `profile`, requires a saved connection, re-adopts the run and
// observes its proxy. Absent after a one-line error, with the exit status in
// `status`.
std::optional<ReadoptedProxiedRun> readoptProxiedRun(const std::string& profile,
                                                     const std::string& executable,
                                                     const GlobalOptions& global,
                                                     int& status);

// Seconds since 1970, now.
double systemNow();

}  // namespace korvelin::cli
