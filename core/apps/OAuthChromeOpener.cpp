#include "core/apps/OAuthChromeOpener.h"

#include <chrono>

#include "core/activity/ProfileRuntimeObserver.h"
#include "core/base/CoreError.h"
#include "core/process/ToolProcess.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileRepository.h"

namespace korvelin {
namespace {

constexpr std::size_t kMaximumOutput = 65536;
constexpr std::chrono::seconds kHandOffTimeout{30};
// Nothing listens on the discard port of loopback.
constexpr std::string_view kUnreachableProxy = "socks5://127.0.0.1:9";

}  // namespace

OAuthChromeOpening OAuthChromeOpener::open(std::string_view url,
                                           const OAuthChromeRoute& route) const {
  const auto command = OAuthChromeRouter::command(url, route, baseDirectory);
  const ProfilePaths paths(route.chromeProfile.id, baseDirectory);
  try {
    ProfileRuntimeObserver().observe(paths, command.front());
  } catch (const KorvelinCoreError&) {
    throw OAuthChromeRoutingError(OAuthChromeRoutingError::Case::chromeProfileNotRunning);
  }
  std::vector<std::string> environment = {"PATH=/usr/bin:/bin", "HOME=" + paths.home(),
                                          "XDG_CONFIG_HOME=" + paths.config(),
                                          "XDG_CACHE_HOME=" + paths.cache()};
  for (const auto* name :
       {"ALL_PROXY", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "http_proxy", "https_proxy"})
    environment.push_back(std::string(name) + "=" + std::string(kUnreachableProxy));
  const auto result =
      runTool(command.front(), std::vector<std::string>(command.begin() + 1, command.end()),
              environment, kMaximumOutput, kHandOffTimeout);
  if (result.exitCode != 0)
    throw KorvelinCoreError::processLaunchFailed("the paired Chrome profile did not take the link");
  return {*result.exitCode, result.output};
}

std::string handOffSummary(std::string_view output, std::string_view url) {
  constexpr std::size_t kMaximumSummary = 512;
  constexpr std::string_view kBlank = " \t\r";
  std::string summary;
  while (!output.empty()) {
    const auto end = output.find('\n');
    std::string_view line = output.substr(0, end);
    output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
    const auto first = line.find_first_not_of(kBlank);
    if (first == std::string_view::npos)
      continue;
    line = line.substr(first, line.find_last_not_of(kBlank) - first + 1);
    if (line.find("://") != std::string_view::npos ||
        (!url.empty() && line.find(url) != std::string_view::npos))
      continue;
    if (!summary.empty())
      summary += ' ';
    summary += line;
  }
  if (summary.size() > kMaximumSummary)
    summary.resize(kMaximumSummary);
  return summary;
}

ClaudeBrowserBridge::Handler OAuthChromeOpener::bridgeHandler(
    std::function<std::vector<AppProfile>()> profiles,
    LinkReport report) const {
  return [opener = *this, profiles = std::move(profiles), report = std::move(report)](
             const std::string& url, const Uuid& claudeProfileID) {
    try {
      const auto opening =
          opener.open(url, OAuthChromeRouter::routeHTTPURL(url, claudeProfileID, profiles()));
      if (report)
        report(true, handOffSummary(opening.output, url));
      return ClaudeBrowserBridgeDecision::handled;
    } catch (const std::exception& e) {
      if (report)
        report(false, e.what());
      return ClaudeBrowserBridgeDecision::declined;
    }
  };
}

std::shared_ptr<ClaudeBrowserBridge> startClaudeBrowserBridge(
    const Uuid& claudeProfileID,
    const std::string& shimPath,
    const std::string& baseDirectory,
    const std::string& defaultBaseDirectory,
    OAuthChromeOpener::LinkReport report) {
  auto bridge = std::make_shared<ClaudeBrowserBridge>(
      claudeProfileID, shimPath, std::nullopt,
      OAuthChromeOpener{baseDirectory}.bridgeHandler(
          [baseDirectory, defaultBaseDirectory] {
            return ProfileRepository(baseDirectory, defaultBaseDirectory).load().profiles;
          },
          std::move(report)));
  bridge->start();
  return bridge;
}

}  // namespace korvelin
