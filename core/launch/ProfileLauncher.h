#pragma once

// One launch of a catalogued profile, from the catalogue to a supervised
// application behind its own proxy, and its orderly end. The host and
// `korvelin launch` both drive launches through this class:
//
//   ProfileLauncher launcher(base, defaultBase, processes, sidecars);
//   auto launch = launcher.launch(profileID, progress);  // running
//   ... poll launcher.status(launch) ...
//   launcher.stop(launch, 10, progress);    // or finish() once it ended
//
// A launch reads the profile, inspects its installed application through
// the profile's adapter, starts the proxy sidecar of its saved connection
// (or points at its fixed proxy), builds the adapter's plan against that
// route, starts it under the process supervisor with the launch guards and
// attaches the sidecar to the application's process group. A profile whose
// sidecar cannot be started and proven never runs on the system route unless
// the profile allows it. Every step is reported to `progress` as it happens.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/apps/CodexLaunchPlan.h"
#include "core/apps/LaunchAdapter.h"
#include "core/process/ProcessSnapshot.h"
#include "core/profile/AppProfile.h"
#include "core/proxy/XraySidecarSupervisor.h"

namespace korvelin {

class ClaudeBrowserBridge;
class ProcessSupervisor;

enum class ProfileLaunchStep {
  profileLoaded,        // detail: the profile's name
  applicationVerified,  // detail: the bundle's path
  proxyStarting,        // detail: the connection's UUID
  proxyReady,           // detail: the local proxy's URI
  proxyUnavailable,     // detail: why; the profile runs on the system route
  fixedProxy,           // detail: the profile's proxy URI
  systemRoute,          // the profile has no proxy
  browserBridgeReady,   // detail: the bridge's socket (Claude profiles)
  applicationStarted,   // detail: the root's pid
  sidecarAttached,      // detail: the guardian run
  sidecarNotAttached,   // detail: the continuity warning
  stopRequested,        // detail: the run
  applicationStopped,   // detail: the run
  completionConfirmed,  // detail: the run
  sidecarStopped,       // detail: the guardian run
  // While a Claude profile runs, for each link its browser bridge received:
  browserLinkOpened,    // detail: what Chrome said, without the link
  browserLinkDeclined,  // detail: why
};

std::string_view rawValue(ProfileLaunchStep step);
// The step of a name rawValue gives; absent for any other text.
std::optional<ProfileLaunchStep> profileLaunchStepNamed(std::string_view name);

struct ProfileLaunchProgress {
  ProfileLaunchStep step;
  std::string detail;
};

// What one launch set up; what stop and finish need.
struct ProfileLaunch {
  AppProfile profile;
  CodexInstallation installation;
  // The sidecar serving the profile's saved connection, while it runs.
  std::optional<XraySidecarHandle> sidecar;
  // Where the application's traffic is pointed; absent: the system route.
  std::optional<ProfileProxyConfiguration> route;
  // The profile has a saved connection whose sidecar could not be started,
  // and runs on the system route because it allows that.
  bool systemRouteFallback = false;
  CodexLaunchPlan plan;
  ProcessSnapshot run;
  std::optional<std::string> continuityWarning;
  // The last check found the sidecar unavailable.
  bool proxyLost = false;
  // A Claude profile's browser bridge, listening while the run lasts.
  std::shared_ptr<ClaudeBrowserBridge> browserBridge;

  const ProfilePaths& paths() const { return plan.process.paths; }
};

// What the health of a running launch's proxy means for it.
enum class ProxyVerdict {
  unproxied,            // no sidecar to check
  available,            // the sidecar serves and its egress probe answers
  unavailableKeptOpen,  // lost; the profile allows the system route
  unavailableMustStop,  // lost; the profile must be stopped
};

std::string_view rawValue(ProxyVerdict verdict);

// JSON for machines: profile, application, route, sidecar and run; the
// environment and arguments of the plan are not included.
void to_json(nlohmann::json& json, const ProfileLaunch& launch);

class ProfileLauncher {
 public:
  using AdapterFactory = std::function<std::unique_ptr<LaunchAdapter>(std::string_view)>;
  using Progress = std::function<void(const ProfileLaunchProgress&)>;

  // `adapters` defaults to this build's dispatch (`makeLaunchAdapter`).
  ProfileLauncher(std::string baseDirectory,
                  std::string defaultBaseDirectory,
                  ProcessSupervisor& processes,
                  XraySidecarSupervisor& sidecars,
                  AdapterFactory adapters = nullptr);

  // Throws what the failing step throws, after undoing the steps before it
  // (a started sidecar is stopped). A profile that is not catalogued is
  // `profileNotFound`; one whose adapter this build lacks is
  // `profileConfigurationUnavailable`.
  ProfileLaunch launch(const Uuid& profileID, const Progress& progress = nullptr);

  // Checks the sidecar of a running launch (a new egress probe at most every
  // `minimumProbeInterval` seconds) and journals a change of its health:
  // `proxyDisconnected` when the profile must stop, else
  // `proxyUnavailableWhileRunning`, and `proxyConnectionAvailable` when it
  // serves again. Stopping is the caller's.
  ProxyVerdict checkProxy(ProfileLaunch& launch, double minimumProbeInterval);

  // The browser shim Claude profiles are given (BROWSER); a Claude profile
  // is not launched without one, as its links would reach the default
  // browser outside the profile's route.
  void setBrowserShim(std::string path) { browserShim_ = std::move(path); }
  // Hears browserLinkOpened and browserLinkDeclined for the links of the
  // Claude profiles launched from now on, on the bridge's connection thread.
  void setBrowserLinkReport(Progress report) { linkReport_ = std::move(report); }

  // The run as the process supervisor sees it now.
  ProcessSnapshot status(const ProfileLaunch& launch);

  // Stops the application's group (SIGTERM for up to `timeout` seconds),
  // confirms completion, then stops the sidecar. `stopTimedOut` propagates
  // with the run and its sidecar untouched, so the caller may ask again.
  ProcessSnapshot stop(const ProfileLaunch& launch,
                       double timeout,
                       const Progress& progress = nullptr);
  // For a group that stopped by itself: confirms completion, then stops the
  // sidecar.
  ProcessSnapshot finish(const ProfileLaunch& launch, const Progress& progress = nullptr);

 private:
  void startRoute(ProfileLaunch& launch, const Progress& progress);
  void stopSidecar(const ProfileLaunch& launch, const Progress& progress);

  std::string baseDirectory_;
  std::string defaultBaseDirectory_;
  ProcessSupervisor& processes_;
  XraySidecarSupervisor& sidecars_;
  AdapterFactory adapters_;
  std::string browserShim_;
  Progress linkReport_;
};

}  // namespace korvelin
