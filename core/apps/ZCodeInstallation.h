#pragma once

// The ZCode desktop application as a profile application. ZCode is confined
// through environment variables alone: its data, home, user-data and session
// directories all point into the profile, and it is told not to use its
// default user-data location. It gets no arguments of its own.

#include <optional>
#include <string>
#include <vector>

#include "core/apps/LaunchAdapter.h"

namespace korvelin {

class ZCodeLaunchAdapter final : public BundleLaunchAdapter {
 public:
  explicit ZCodeLaunchAdapter(std::string defaultBaseDirectory);

  CodexLaunchPlan makeLaunchPlan(
      const CodexInstallation& installation,
      const ProfilePaths& paths,
      const std::optional<ProfileProxyConfiguration>& proxy,
      const std::vector<ProfileEnvironmentVariable>& environmentVariables,
      const std::vector<std::string>& launchArguments) const;
  CodexLaunchPlan makeLaunchPlan(const LaunchPlanInput& input) const override;
};

}  // namespace korvelin
