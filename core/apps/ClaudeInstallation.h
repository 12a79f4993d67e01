#pragma once

// Claude desktop as a profile application. Claude keeps a profile's data in
// the directory CLAUDE_USER_DATA_DIR names; the user's real home stays
// visible to it, while its configuration and cache move into the profile.
// Every launch is covered by a single-use launch authorization, consumed
// once the suspended child is proven to run the inspected code; the newest
// verified Claude Code tool goes first on its PATH.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/apps/ClaudeCodeInstallation.h"
#include "core/apps/ClaudeLaunchAuthorization.h"
#include "core/apps/LaunchAdapter.h"

namespace korvelin {

// What a Claude launch works with; every null member is the default.
struct ClaudeLaunchCollaborators {
  // The real user's home (absent or empty: unknown), by default from the
  // password database; the environment's HOME is never read.
  std::function<std::optional<std::string>()> accountHome;
  // Null: the process-wide service.
  ClaudeLaunchAuthorizing* authorizer = nullptr;
  std::shared_ptr<const ClaudeCodeInstallation> codeInstallation;
  // The host's own PATH, the fallback base of the application's PATH.
  std::optional<std::string> hostPath;
  // Null: the vendor's inspector (makeBundleInspector).
  std::shared_ptr<const BundleInspector> inspector;
};

class ClaudeLaunchAdapter final : public BundleLaunchAdapter {
 public:
  using Collaborators = ClaudeLaunchCollaborators;

  explicit ClaudeLaunchAdapter(std::string defaultBaseDirectory, Collaborators collaborators = {});

  // `managedEnvironment` holds what the host adds for this run (the browser
  // bridge's pair); each name must be a valid variable name and no value
  // may hold a NUL character.
  CodexLaunchPlan makeLaunchPlan(
      const CodexInstallation& installation,
      const ProfilePaths& paths,
      const std::optional<ProfileProxyConfiguration>& proxy,
      const std::vector<ProfileEnvironmentVariable>& environmentVariables,
      const std::vector<std::string>& launchArguments,
      const std::map<std::string, std::string>& managedEnvironment) const;
  CodexLaunchPlan makeLaunchPlan(const LaunchPlanInput& input) const override;

 protected:
  // The shared verified launch gets an authorization issued once the plan's
  // paths passed their checks (a refusal starts nothing), consumed once the
  // suspended child passed its code check: a refused consumption kills the
  // child before it runs and removes its lease.
  ProcessSupervisor::SuspendedCheck afterVerifiedCheck(const CodexLaunchPlan& plan) const override;

 private:
  Collaborators collaborators_;
};

}  // namespace korvelin
