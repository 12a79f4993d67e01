#include "core/apps/ChromeInstallation.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "core/apps/LaunchPlanSupport.h"
#include "core/base/CoreError.h"

namespace korvelin {

ChromeLaunchAdapter::ChromeLaunchAdapter(std::string defaultBaseDirectory, AccountHome accountHome)
    : BundleLaunchAdapter(ManagedApplicationSupport::chromeAdapterIdentifier,
                          std::move(defaultBaseDirectory)),
      accountHome_(accountHome ? std::move(accountHome) : AccountHome(passwordDatabaseHome)) {}

std::optional<std::string> ChromeLaunchAdapter::passwordDatabaseHome() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (!found)
    return std::nullopt;
  return std::string(found->pw_dir ? found->pw_dir : "");
}

CodexLaunchPlan ChromeLaunchAdapter::makeLaunchPlan(
    const CodexInstallation& installation,
    const ProfilePaths& paths,
    const std::optional<ProfileProxyConfiguration>& proxy,
    const std::vector<ProfileEnvironmentVariable>& environmentVariables,
    const std::vector<std::string>& launchArguments) const {
  LaunchPlanSupport::requireApprovedInstallation(installation, application());
  const auto home = accountHome_();
  if (!home || home->empty())
    throw KorvelinCoreError::invalidEnvironmentVariables(
        "Cannot resolve the macOS account home for Chrome.");
  if (home->front() != '/')
    throw KorvelinCoreError::invalidEnvironmentVariables(
        "The macOS account home must be an absolute path.");

  std::vector<std::string> arguments{"--user-data-dir=" + paths.userData(),
                                     "--password-store=basic", "--use-mock-keychain"};
  std::map<std::string, std::string> managed{{"HOME", *home},
                                             {"USERPROFILE", *home},
                                             {"XDG_CONFIG_HOME", paths.config()},
                                             {"XDG_CACHE_HOME", paths.cache()}};
  return LaunchPlanSupport::plan(installation, paths, std::move(arguments), std::move(managed),
                                 proxy, environmentVariables, launchArguments);
}

CodexLaunchPlan ChromeLaunchAdapter::makeLaunchPlan(const LaunchPlanInput& input) const {
  return makeLaunchPlan(input.installation, input.paths, input.proxy,
                        input.profile.environmentVariables, input.profile.launchArguments);
}

}  // namespace korvelin
