#include "core/apps/ClaudeInstallation.h"

#include "core/apps/ChromeInstallation.h"
#include "core/apps/LaunchPlanSupport.h"
#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfileLaunchArguments.h"

namespace korvelin {
namespace {

constexpr std::string_view kDefaultPath = "/usr/bin:/bin:/usr/sbin:/sbin";

}  // namespace

ClaudeLaunchAdapter::ClaudeLaunchAdapter(std::string defaultBaseDirectory,
                                         Collaborators collaborators)
    : BundleLaunchAdapter(ManagedApplicationSupport::claudeAdapterIdentifier,
                          std::move(defaultBaseDirectory),
                          collaborators.inspector),
      collaborators_(std::move(collaborators)) {
  if (!collaborators_.accountHome)
    collaborators_.accountHome = ChromeLaunchAdapter::passwordDatabaseHome;
  if (!collaborators_.authorizer)
    collaborators_.authorizer = &ClaudeLaunchAuthorizationService::shared();
  if (!collaborators_.codeInstallation)
    collaborators_.codeInstallation = std::make_shared<ClaudeCodeInstallation>();
}

CodexLaunchPlan ClaudeLaunchAdapter::makeLaunchPlan(
    const CodexInstallation& installation,
    const ProfilePaths& paths,
    const std::optional<ProfileProxyConfiguration>& proxy,
    const std::vector<ProfileEnvironmentVariable>& environmentVariables,
    const std::vector<std::string>& launchArguments,
    const std::map<std::string, std::string>& managedEnvironment) const {
  LaunchPlanSupport::requireApprovedInstallation(installation, application());
  const std::string url = LaunchPlanSupport::proxyURL(proxy);
  ProfileLaunchArguments::validate(launchArguments);
  const auto home = collaborators_.accountHome();
  if (!home || home->empty() || home->front() != '/')
    throw KorvelinCoreError::invalidEnvironmentVariables(
        "Cannot resolve the account home for Claude.");
  const std::string userHome = standardizedPath(*home);

  auto environment = LaunchPlanSupport::environment(environmentVariables,
                                                    {{"HOME", userHome},
                                                     {"USERPROFILE", userHome},
                                                     {"XDG_CONFIG_HOME", paths.config()},
                                                     {"XDG_CACHE_HOME", paths.cache()},
                                                     {"CLAUDE_USER_DATA_DIR", paths.userData()}});
  std::vector<std::string> arguments;
  if (!url.empty())
    arguments.push_back("--proxy-server=" + url);
  LaunchPlanSupport::addProxyVariables(environment, url);
  for (const auto& [name, value] : managedEnvironment) {
    if (!ProfileEnvironment::isValidName(name) || value.find('\0') != std::string::npos)
      throw KorvelinCoreError::invalidEnvironmentVariables(
          "Managed environment contains an invalid value for " + name + ".");
    environment[name] = value;
  }
  if (const auto claudeCode = collaborators_.codeInstallation->executable(userHome)) {
    const auto inherited = environment.find("PATH");
    const std::string base = inherited != environment.end() ? inherited->second
                             : collaborators_.hostPath      ? *collaborators_.hostPath
                                                            : std::string(kDefaultPath);
    environment["PATH"] = deletingLastPathComponent(*claudeCode) + ":" + base;
  }
  arguments.insert(arguments.end(), launchArguments.begin(), launchArguments.end());

  return {installation,
          {LaunchPlanSupport::executablePath(installation), std::move(arguments),
           std::move(environment), paths, LaunchPlanSupport::terminationIdentity(installation)}};
}

CodexLaunchPlan ClaudeLaunchAdapter::makeLaunchPlan(const LaunchPlanInput& input) const {
  return makeLaunchPlan(input.installation, input.paths, input.proxy,
                        input.profile.environmentVariables, input.profile.launchArguments,
                        input.managedEnvironment);
}

ProcessSupervisor::SuspendedCheck ClaudeLaunchAdapter::afterVerifiedCheck(
    const CodexLaunchPlan& plan) const {
  ClaudeLaunchAuthorizing& authorizer = *collaborators_.authorizer;
  const auto authorization =
      authorizer.issue(plan.process.paths.profileID(), plan.expectedInstallation);
  return [&authorizer, authorization](std::int32_t) {
    authorizer.consumeForManagedLaunch(authorization);
  };
}

}  // namespace korvelin
