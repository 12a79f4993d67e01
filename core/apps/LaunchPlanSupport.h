#pragma once

// The steps the application adapters share when they turn a profile into a
// launch plan: which installation they accept, the proxy route and its
// variables, the user's variables under the managed ones, and who the
// application is for a native quit request.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/apps/CodexInstallation.h"
#include "core/apps/CodexLaunchPlan.h"
#include "core/apps/ManagedApplicationSupport.h"
#include "core/process/ApplicationTerminationIdentity.h"
#include "core/profile/ProfileEnvironment.h"
#include "core/profile/ProfileProxyConfiguration.h"

namespace korvelin::LaunchPlanSupport {

// Throws installationChanged unless the installation carries the
// application's bundle identifier and signing team and may be launched.
void requireApprovedInstallation(const CodexInstallation& installation,
                                 const ManagedApplication& application);

// "scheme://host:port" of a proxy after its port and host are checked again
// (invalidProxyConfiguration); empty without a proxy.
std::string proxyURL(const std::optional<ProfileProxyConfiguration>& proxy);

// Sets HTTP_PROXY, HTTPS_PROXY and ALL_PROXY to `url` and NO_PROXY to the
// loopback names; nothing for an empty `url`.
void addProxyVariables(std::map<std::string, std::string>& environment, const std::string& url);

// The user's variables (validated) with `managed` laid over them.
std::map<std::string, std::string> environment(
    const std::vector<ProfileEnvironmentVariable>& variables,
    const std::map<std::string, std::string>& managed);

// Bundle identifier and the standardized bundle and executable paths.
ApplicationTerminationIdentity terminationIdentity(const CodexInstallation& installation);

// The plan every bundle adapter ends with, once the proxy (`proxyURL`) and
// the user's arguments pass their checks: its own `arguments`, then the
// proxy argument (none without a proxy), then the user's arguments; the
// user's variables under `managed` and the proxy variables.
CodexLaunchPlan plan(const CodexInstallation& installation,
                     const ProfilePaths& paths,
                     std::vector<std::string> arguments,
                     std::map<std::string, std::string> managed,
                     const std::optional<ProfileProxyConfiguration>& proxy,
                     const std::vector<ProfileEnvironmentVariable>& environmentVariables,
                     const std::vector<std::string>& launchArguments);

// The installation's main executable as a path (installationChanged when its
// URL is not a file URL).
std::string executablePath(const CodexInstallation& installation);

}  // namespace korvelin::LaunchPlanSupport
