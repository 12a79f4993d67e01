#pragma once

// Hands a link to the running Chrome instance of a routed Chrome profile,
// and the browser bridge's decision handler built on it. The link is opened
// only in a Chrome profile proven to run (its launch lease names a live
// process on the profile's data directory): a Chrome started afresh by the
// command would not carry the profile's proxy.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/apps/ClaudeBrowserBridge.h"
#include "core/apps/OAuthChromeRouter.h"

namespace korvelin {

struct OAuthChromeOpening {
  int exitCode = 0;
  std::string output;  // what Chrome printed, at most 64 KiB
};

struct OAuthChromeOpener {
  std::string baseDirectory;

  // Runs the route's command (OAuthChromeRouter::command) once the Chrome
  // profile is proven to run, with the profile's own directories and every
  // proxy variable pointing at a closed loopback port: should the running
  // instance vanish meanwhile, the Chrome the command starts reaches
  // nothing instead of the system route. Throws OAuthChromeRoutingError
  // chromeProfileNotRunning, or processLaunchFailed when Chrome does not
  // take the link (no success within 30 s).
  OAuthChromeOpening open(std::string_view url, const OAuthChromeRoute& route) const;

  // What became of one link: opened, with what Chrome said (`handOffSummary`),
  // or declined, with why. Never the link itself.
  using LinkReport = std::function<void(bool opened, const std::string& detail)>;

  // The bridge's handler for one Claude profile: each link is routed on the
  // profile's behalf among `profiles()` (read anew for every link) and
  // opened; any failure declines it. `report`, when given, hears the outcome.
  ClaudeBrowserBridge::Handler bridgeHandler(std::function<std::vector<AppProfile>()> profiles,
                                             LinkReport report = {}) const;
};

// Chrome's output after a hand-off, fit to be shown where the link was not
// asked for: its non-empty lines, trimmed and joined by a space, leaving out
// every line that names the link or any other URL; at most 512 bytes.
std::string handOffSummary(std::string_view output, std::string_view url);

// The listening browser bridge of one run of a Claude profile, whose links
// are routed among the catalogue's profiles (read anew for every link) and
// opened in the paired Chrome profile. Throws the bridge's start errors.
std::shared_ptr<ClaudeBrowserBridge> startClaudeBrowserBridge(
    const Uuid& claudeProfileID,
    const std::string& shimPath,
    const std::string& baseDirectory,
    const std::string& defaultBaseDirectory,
    OAuthChromeOpener::LinkReport report = {});

}  // namespace korvelin
