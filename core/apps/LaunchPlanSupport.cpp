#include "core/apps/LaunchPlanSupport.h"

#include "core/base/CoreError.h"
#include "core/files/FilePath.h"

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
