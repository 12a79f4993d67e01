#pragma once

// Re-adopting a profile whose application is still running although no
// supervisor in this process started it (the host was quit or crashed). The
// run is rebuilt from the profile's launch lease only after proving that the
// process the lease names is the same live process, running the expected
// executable on the profile's data directory.

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "core/activity/ProfileUsageRoute.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/process/ProcessSnapshot.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

struct ProfileRuntimeObservation {
  ProcessSnapshot snapshot;
  ProfileUsageRoute usageRoute;  // from the live process's arguments
  LiveProcessIdentity rootIdentity;

  bool operator==(const ProfileRuntimeObservation&) const = default;
};

// {"snapshot", "usageRoute", "rootIdentity"}, each in its own JSON form.
void to_json(nlohmann::json& json, const ProfileRuntimeObservation& observation);

struct ProfileRuntimeObserver {
  // `executablePath` is the path of the program the profile should be running
  // (symbolic links are resolved before comparing). Errors of the base and
  // tree checks propagate as they are; every other failure is
  // `profileRecoveryRequired`, and the host must then treat the profile as
  // neither stopped nor running. That error names only the profile: when
  // `refusalReason` is given it receives a one-line reason for people.
  ProfileRuntimeObservation observeWithRoute(const ProfilePaths& paths,
                                             const std::string& executablePath,
                                             std::string* refusalReason = nullptr) const;

  // The same, returning only the run.
  ProcessSnapshot observe(const ProfilePaths& paths,
                          const std::string& executablePath,
                          std::string* refusalReason = nullptr) const;

  bool operator==(const ProfileRuntimeObserver&) const = default;
};

}  // namespace korvelin
