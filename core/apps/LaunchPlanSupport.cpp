#include "core/apps/LaunchPlanSupport.h"

#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/profile/ProfileLaunchArguments.h"

namespace korvelin::LaunchPlanSupport {

void requireApprovedInstallation(const CodexInstallation& installation,
                                 const ManagedApplication& application) {
  if (installation.bundleIdentifier != application.bundleIdentifier ||
      installation.signingTeamIdentifier != application.teamIdentifier ||
      !isLaunchApproved(installation.compatibilityStatus))
    throw KorvelinCoreError::installationChanged();
}

std::string proxyURL(const std::optional<ProfileProxyConfiguration>& proxy) {
  return proxy ? proxy->validated().uri() : std::string();
}

void addProxyVariables(std::map<std::string, std::string>& environment, const std::string& url) {
  if (url.empty())
    return;
  for (const char* name : {"HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
    environment[name] = url;
  environment["NO_PROXY"] = "localhost,127.0.0.1,::1";
}

std::map<std::string, std::string> environment(
    const std::vector<ProfileEnvironmentVariable>& variables,
    const std::map<std::string, std::string>& managed) {
  auto result = ProfileEnvironment::dictionary(variables);
  for (const auto& [name, value] : managed)
    result[name] = value;
  return result;
}

CodexLaunchPlan plan(const CodexInstallation& installation,
                     const ProfilePaths& paths,
                     std::vector<std::string> arguments,
                     std::map<std::string, std::string> managed,
                     const std::optional<ProfileProxyConfiguration>& proxy,
                     const std::vector<ProfileEnvironmentVariable>& environmentVariables,
                     const std::vector<std::string>& launchArguments) {
  const std::string url = proxyURL(proxy);
  ProfileLaunchArguments::validate(launchArguments);
  if (!url.empty())
    arguments.push_back("--proxy-server=" + url);
  addProxyVariables(managed, url);
  arguments.insert(arguments.end(), launchArguments.begin(), launchArguments.end());
  return {installation,
          {executablePath(installation), std::move(arguments),
           environment(environmentVariables, managed), paths, terminationIdentity(installation)}};
}

std::string executablePath(const CodexInstallation& installation) {
  auto path = pathFromFileURL(installation.executableURL);
  if (!path)
    throw KorvelinCoreError::installationChanged();
  return standardizedPath(*path);
}

ApplicationTerminationIdentity terminationIdentity(const CodexInstallation& installation) {
  auto bundle = installation.bundlePath();
  if (!bundle)
    throw KorvelinCoreError::installationChanged();
  return {installation.bundleIdentifier, standardizedPath(*bundle), executablePath(installation)};
}

}  // namespace korvelin::LaunchPlanSupport
