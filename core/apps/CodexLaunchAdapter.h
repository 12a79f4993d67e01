#pragma once

// Codex (inside the ChatGPT desktop application) as a profile application.
// Every home-like variable points into the profile, Codex's whole state lives
// in the profile's "home/.codex" (CODEX_HOME), Chromium's in its user-data
// directory, and the built-in updater is switched off. Only installations
// whose version is verified or was approved on this machine are launched.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/apps/CodexBundleInspector.h"
#include "core/apps/LaunchAdapter.h"

namespace korvelin {

class CodexLaunchAdapter final : public BundleLaunchAdapter {
 public:
  // `approvalBaseDirectory` holds the approvals of checked versions.
  CodexLaunchAdapter(std::string defaultBaseDirectory, const std::string& approvalBaseDirectory);
  // With the given inspector (tests substitute its validator).
  CodexLaunchAdapter(std::string defaultBaseDirectory,
                     std::shared_ptr<const CodexBundleInspector> inspector);

  // unverifiedVersion for an installation that is not approved; then the
  // plan of `unapprovedPlan`.
  CodexLaunchPlan makeLaunchPlan(
      const CodexInstallation& installation,
      const ProfilePaths& paths,
      const std::optional<ProfileProxyConfiguration>& proxy,
      const std::vector<ProfileEnvironmentVariable>& environmentVariables,
      const std::vector<std::string>& launchArguments) const;
  CodexLaunchPlan makeLaunchPlan(const LaunchPlanInput& input) const override;
  // Creates the profile's Codex home (0700) when it is missing, so that
  // Codex, which would make it readable by everyone, never creates it; then
  // the shared guarded launch.
  ProcessSnapshot launch(const CodexLaunchPlan& plan, ProcessSupervisor& supervisor) const override;

  // The plan whatever the installation's version: the compatibility probe
  // starts exactly this for a version it is about to judge.
  static CodexLaunchPlan unapprovedPlan(
      const CodexInstallation& installation,
      const ProfilePaths& paths,
      const std::optional<ProfileProxyConfiguration>& proxy,
      const std::vector<ProfileEnvironmentVariable>& environmentVariables,
      const std::vector<std::string>& launchArguments);
};

}  // namespace korvelin
