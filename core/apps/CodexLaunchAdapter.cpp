#include "core/apps/CodexLaunchAdapter.h"

#include "core/apps/LaunchPlanSupport.h"
#include "core/files/FilePath.h"

namespace korvelin {

CodexLaunchAdapter::CodexLaunchAdapter(std::string defaultBaseDirectory,
                                       const std::string& approvalBaseDirectory)
    : CodexLaunchAdapter(defaultBaseDirectory,
                         std::make_shared<CodexBundleInspector>(CodexCompatibilityApprovalStore(
                             approvalBaseDirectory,
                             ProfilePreparer(defaultBaseDirectory)))) {}

CodexLaunchAdapter::CodexLaunchAdapter(std::string defaultBaseDirectory,
                                       std::shared_ptr<const CodexBundleInspector> inspector)
    : BundleLaunchAdapter(ManagedApplicationSupport::codexAdapterIdentifier,
                          std::move(defaultBaseDirectory),
                          std::move(inspector)) {}

CodexLaunchPlan CodexLaunchAdapter::makeLaunchPlan(
    const CodexInstallation& installation,
    const ProfilePaths& paths,
    const std::optional<ProfileProxyConfiguration>& proxy,
    const std::vector<ProfileEnvironmentVariable>& environmentVariables,
    const std::vector<std::string>& launchArguments) const {
  if (!isLaunchApproved(installation.compatibilityStatus))
    throw KorvelinCoreError::unverifiedVersion(installation.marketingVersion,
                                               installation.buildVersion);
  LaunchPlanSupport::requireApprovedInstallation(installation, application());
  return unapprovedPlan(installation, paths, proxy, environmentVariables, launchArguments);
}

CodexLaunchPlan CodexLaunchAdapter::makeLaunchPlan(const LaunchPlanInput& input) const {
  return makeLaunchPlan(input.installation, input.paths, input.proxy,
                        input.profile.environmentVariables, input.profile.launchArguments);
}

ProcessSnapshot CodexLaunchAdapter::launch(const CodexLaunchPlan& plan,
                                           ProcessSupervisor& supervisor) const {
  preparer().prepareCodexHome(plan.process.paths);
  return BundleLaunchAdapter::launch(plan, supervisor);
}

CodexLaunchPlan CodexLaunchAdapter::unapprovedPlan(
    const CodexInstallation& installation,
    const ProfilePaths& paths,
    const std::optional<ProfileProxyConfiguration>& proxy,
    const std::vector<ProfileEnvironmentVariable>& environmentVariables,
    const std::vector<std::string>& launchArguments) {
  std::vector<std::string> arguments = {"--user-data-dir=" + paths.userData(), "--no-first-run"};
  std::map<std::string, std::string> managed{
      {"HOME", paths.home()},
      {"USERPROFILE", paths.home()},
      {"XDG_CONFIG_HOME", paths.config()},
      {"XDG_CACHE_HOME", paths.cache()},
      {"CODEX_HOME", paths.codexHome()},
      {"CODEX_SPARKLE_ENABLED", "false"},
  };
  return LaunchPlanSupport::plan(installation, paths, std::move(arguments), std::move(managed),
                                 proxy, environmentVariables, launchArguments);
}

}  // namespace korvelin
