#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/process/ApplicationTerminationIdentity.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

// What to spawn for one run of a profile, and with what.
struct ProcessLaunchPlan {
  std::string executablePath;  // path of the program to spawn
  std::vector<std::string> arguments;
  std::map<std::string, std::string> environmentOverrides;
  ProfilePaths paths;
  std::optional<ApplicationTerminationIdentity> applicationTerminationIdentity;

  bool operator==(const ProcessLaunchPlan&) const = default;
};

}  // namespace korvelin
