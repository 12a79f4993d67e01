#include "core/apps/ZCodeInstallation.h"

#include "core/apps/LaunchPlanSupport.h"
#include "core/files/FilePath.h"

namespace korvelin {

ZCodeLaunchAdapter::ZCodeLaunchAdapter(std::string defaultBaseDirectory)
    : BundleLaunchAdapter(ManagedApplicationSupport::zcodeAdapterIdentifier,
                          std::move(defaultBaseDirectory)) {}

CodexLaunchPlan ZCodeLaunchAdapter::makeLaunchPlan(
    const CodexInstallation& installation,
    const ProfilePaths& paths,
    const std::optional<ProfileProxyConfiguration>& proxy,
    const std::vector<ProfileEnvironmentVariable>& environmentVariables,
    const std::vector<std::string>& launchArguments) const {
  LaunchPlanSupport::requireApprovedInstallation(installation, application());

  std::map<std::string, std::string> managed{
      {"HOME", paths.home()},
      {"USERPROFILE", paths.home()},
      {"XDG_CONFIG_HOME", paths.config()},
      {"XDG_CACHE_HOME", paths.cache()},
      {"ZCODE_DATA_BASE_DIR", paths.home()},
      {"ZCODE_HOME", appendingPathComponent(paths.home(), ".zcode")},
      {"ZCODE_DESKTOP_HOME_DIR", paths.home()},
      {"ZCODE_DESKTOP_USER_DATA_DIR", paths.userData()},
      {"ZCODE_DESKTOP_SESSION_DATA_DIR", appendingPathComponent(paths.userData(), "session")},
      {"ZCODE_DESKTOP_USE_ELECTRON_DEFAULT_USER_DATA", "0"},
  };
  std::vector<std::string> arguments;
  return LaunchPlanSupport::plan(installation, paths, std::move(arguments), std::move(managed),
                                 proxy, environmentVariables, launchArguments);
}

CodexLaunchPlan ZCodeLaunchAdapter::makeLaunchPlan(const LaunchPlanInput& input) const {
  return makeLaunchPlan(input.installation, input.paths, input.proxy,
                        input.profile.environmentVariables, input.profile.launchArguments);
}

}  // namespace korvelin
