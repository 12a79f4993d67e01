#pragma once

// Google Chrome as a profile application. Chrome keeps everything in the
// directory its user-data option names, so the profile's `user-data`
// directory goes there; it is kept away from the system keychain and keeps
// HOME at the real account home, with its configuration and cache in the
// profile.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/apps/LaunchAdapter.h"

namespace korvelin {

class ChromeLaunchAdapter final : public BundleLaunchAdapter {
 public:
  // The home directory of the real user: absent when the password database
  // has no entry for the user, empty when the entry names none.
  using AccountHome = std::function<std::optional<std::string>()>;

  explicit ChromeLaunchAdapter(std::string defaultBaseDirectory, AccountHome accountHome = nullptr);

  // The home directory the password database gives the real user id (the
  // environment's HOME is never read).
  static std::optional<std::string> passwordDatabaseHome();

  CodexLaunchPlan makeLaunchPlan(
      const CodexInstallation& installation,
      const ProfilePaths& paths,
      const std::optional<ProfileProxyConfiguration>& proxy,
      const std::vector<ProfileEnvironmentVariable>& environmentVariables,
      const std::vector<std::string>& launchArguments) const;
  CodexLaunchPlan makeLaunchPlan(const LaunchPlanInput& input) const override;

 private:
  AccountHome accountHome_;
};

}  // namespace korvelin
