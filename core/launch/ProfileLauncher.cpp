#include "core/launch/ProfileLauncher.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/activity/ProfileActivityJournal.h"
#include "core/apps/OAuthChromeOpener.h"
#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/launch/LaunchAdapters.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfileRepository.h"
#include "core/proxy/VLESSConnection.h"
#include "core/proxy/VLESSConnectionRepository.h"

namespace korvelin {

namespace {

constexpr EnumNames<ProfileLaunchStep, 17> kStepNames{{
    {ProfileLaunchStep::profileLoaded, "profile_loaded"},
    {ProfileLaunchStep::applicationVerified, "application_verified"},
    {ProfileLaunchStep::proxyStarting, "proxy_starting"},
    {ProfileLaunchStep::proxyReady, "proxy_ready"},
    {ProfileLaunchStep::proxyUnavailable, "proxy_unavailable"},
    {ProfileLaunchStep::fixedProxy, "fixed_proxy"},
    {ProfileLaunchStep::systemRoute, "system_route"},
    {ProfileLaunchStep::browserBridgeReady, "browser_bridge_ready"},
    {ProfileLaunchStep::applicationStarted, "application_started"},
    {ProfileLaunchStep::sidecarAttached, "sidecar_attached"},
    {ProfileLaunchStep::sidecarNotAttached, "sidecar_not_attached"},
    {ProfileLaunchStep::stopRequested, "stop_requested"},
    {ProfileLaunchStep::applicationStopped, "application_stopped"},
    {ProfileLaunchStep::completionConfirmed, "completion_confirmed"},
    {ProfileLaunchStep::sidecarStopped, "sidecar_stopped"},
    {ProfileLaunchStep::browserLinkOpened, "browser_link_opened"},
    {ProfileLaunchStep::browserLinkDeclined, "browser_link_declined"},
}};

constexpr EnumNames<ProxyVerdict, 4> kVerdictNames{{
    {ProxyVerdict::unproxied, "unproxied"},
    {ProxyVerdict::available, "available"},
    {ProxyVerdict::unavailableKeptOpen, "unavailable_kept_open"},
    {ProxyVerdict::unavailableMustStop, "unavailable_must_stop"},
}};

void report(const ProfileLauncher::Progress& progress, ProfileLaunchStep step, std::string detail) {
  if (progress)
    progress({step, std::move(detail)});
}

// The journal records what the proxy did; a journal that cannot be written
// never changes the outcome of a launch.
void journal(const ProfilePaths& paths,
             ProfileActivityKind kind,
             const std::optional<std::string>& proxyName,
             std::string detail) {
  try {
    ProfileActivityJournal().append({Uuid::random(), paths.profileID(), kind, ReferenceDate::now(),
                                     proxyName, std::move(detail)},
                                    paths);
  } catch (const KorvelinCoreError&) {
  }
}

std::optional<std::string> connectionName(const VLESSConnectionRepository& repository,
                                          const Uuid& id) {
  try {
    for (const auto& connection : repository.load().connections)
      if (connection.id == id)
        return connection.name;
  } catch (const KorvelinCoreError&) {
  }
  return std::nullopt;
}

}  // namespace

std::string_view rawValue(ProfileLaunchStep step) {
  return kStepNames.name(step);
}

std::optional<ProfileLaunchStep> profileLaunchStepNamed(std::string_view name) {
  return kStepNames.value(name);
}

std::string_view rawValue(ProxyVerdict verdict) {
  return kVerdictNames.name(verdict);
}

void to_json(nlohmann::json& json, const ProfileLaunch& launch) {
  json = {{"profileID", launch.profile.id},
          {"name", launch.profile.name},
          {"adapterIdentifier", launch.profile.adapterIdentifier},
          {"installation", launch.installation},
          {"route", launch.route ? nlohmann::json(launch.route->uri()) : nlohmann::json("system")},
          {"systemRouteFallback", launch.systemRouteFallback},
          {"sidecar", launch.sidecar ? nlohmann::json(*launch.sidecar) : nlohmann::json(nullptr)},
          {"run", launch.run},
          {"continuityWarning", launch.continuityWarning ? nlohmann::json(*launch.continuityWarning)
                                                         : nlohmann::json(nullptr)}};
}

ProfileLauncher::ProfileLauncher(std::string baseDirectory,
                                 std::string defaultBaseDirectory,
                                 ProcessSupervisor& processes,
                                 XraySidecarSupervisor& sidecars,
                                 AdapterFactory adapters)
    : baseDirectory_(std::move(baseDirectory)),
      defaultBaseDirectory_(std::move(defaultBaseDirectory)),
      processes_(processes),
      sidecars_(sidecars),
      adapters_(std::move(adapters)) {
  if (!adapters_)
    adapters_ = [context = LaunchAdapterContext{defaultBaseDirectory_, baseDirectory_}](
                    std::string_view id) { return makeLaunchAdapter(id, context); };
}

namespace {

AppProfile catalogued(const ProfileRepository& repository, const Uuid& profileID) {
  const auto catalogue = repository.load();
  auto found = std::find_if(catalogue.profiles.begin(), catalogue.profiles.end(),
                            [&](const AppProfile& profile) { return profile.id == profileID; });
  if (found == catalogue.profiles.end())
    throw KorvelinCoreError::profileNotFound(profileID);
  return *found;
}

}  // namespace

ProfileLaunch ProfileLauncher::launch(const Uuid& profileID, const Progress& progress) {
  const ProfilePaths paths(profileID, baseDirectory_);
  ProfileLaunch launch{
      catalogued(ProfileRepository(baseDirectory_, defaultBaseDirectory_), profileID),
      {},
      std::nullopt,
      std::nullopt,
      false,
      {{}, {{}, {}, {}, paths, std::nullopt}},
      {},
      std::nullopt};
  report(progress, ProfileLaunchStep::profileLoaded, launch.profile.name);
  const auto adapter = adapters_(launch.profile.adapterIdentifier);
  if (!adapter)
    throw KorvelinCoreError::profileConfigurationUnavailable("no launch adapter for " +
                                                             launch.profile.adapterIdentifier);

  ProfilePreparer(defaultBaseDirectory_).prepare(paths);
  // A lease left by an earlier host must be recovered before anything starts.
  if (auto run = processes_.status(profileID, paths);
      run && run->state != ProcessRunState::stoppedConfirmed)
    throw KorvelinCoreError::alreadyRunning(profileID);

  launch.installation = adapter->inspect(launch.profile.application.bundlePath);
  report(progress, ProfileLaunchStep::applicationVerified,
         launch.installation.bundlePath().value_or(""));

  startRoute(launch, progress);
  try {
    std::map<std::string, std::string> managedEnvironment;
    if (launch.profile.adapterIdentifier == ManagedApplicationSupport::claudeAdapterIdentifier) {
      if (browserShim_.empty())
        throw KorvelinCoreError::profileConfigurationUnavailable(
            "no browser shim for Claude profiles");
      OAuthChromeOpener::LinkReport linkReport;
      if (linkReport_)
        linkReport = [report = linkReport_](bool opened, const std::string& detail) {
          report({opened ? ProfileLaunchStep::browserLinkOpened
                         : ProfileLaunchStep::browserLinkDeclined,
                  detail});
        };
      launch.browserBridge = startClaudeBrowserBridge(profileID, browserShim_, baseDirectory_,
                                                      defaultBaseDirectory_, std::move(linkReport));
      const auto bridge = launch.browserBridge->start();  // listening: its configuration
      managedEnvironment = bridge.environment();
      report(progress, ProfileLaunchStep::browserBridgeReady, bridge.socketPath);
    }
    launch.plan = adapter->makeLaunchPlan(
        {launch.profile, launch.installation, paths, launch.route, managedEnvironment});
    launch.run = adapter->launch(launch.plan, processes_);
  } catch (...) {
    stopSidecar(launch, nullptr);
    throw;
  }
  report(progress, ProfileLaunchStep::applicationStarted, std::to_string(launch.run.rootPID));

  if (launch.sidecar) {
    try {
      sidecars_.attach(profileID, launch.run);
      report(progress, ProfileLaunchStep::sidecarAttached,
             launch.sidecar->generation.uppercaseString());
    } catch (const KorvelinCoreError&) {
      // The application keeps its proxy while this host lives; only a crash
      // of the host would take the proxy away from it.
      launch.continuityWarning = sidecars_.continuityWarning(profileID);
      report(progress, ProfileLaunchStep::sidecarNotAttached,
             launch.continuityWarning.value_or(XraySidecarSupervisor::kContinuityWarning));
    }
  }
  return launch;
}

void ProfileLauncher::startRoute(ProfileLaunch& launch, const Progress& progress) {
  const AppProfile& profile = launch.profile;
  const ProfilePaths& paths = launch.paths();
  if (profile.proxy) {
    launch.route = profile.proxy;
    report(progress, ProfileLaunchStep::fixedProxy, profile.proxy->uri());
    return;
  }
  if (!profile.proxyConnectionID) {
    report(progress, ProfileLaunchStep::systemRoute, {});
    return;
  }
  const Uuid connectionID = *profile.proxyConnectionID;
  const VLESSConnectionRepository connections(baseDirectory_, defaultBaseDirectory_);
  // A connection that is gone is a profile to fix, not a proxy that is down:
  // it never falls back to the system route.
  const VLESSRealityConfiguration configuration = connections.configuration(connectionID);
  const auto name = connectionName(connections, connectionID);
  report(progress, ProfileLaunchStep::proxyStarting, connectionID.uppercaseString());
  try {
    sidecars_.initializeManagedProfile(paths);
    launch.sidecar = sidecars_.start(profile.id, connectionID, configuration, paths);
  } catch (const KorvelinCoreError& error) {
    journal(paths, ProfileActivityKind::proxyConnectionUnavailable, name, error.errorDescription());
    if (!profile.allowSystemRouteFallback)
      throw;
    launch.systemRouteFallback = true;
    report(progress, ProfileLaunchStep::proxyUnavailable, error.errorDescription());
    return;
  }
  launch.route = launch.sidecar->localProxy();
  journal(paths, ProfileActivityKind::proxyConnectionAvailable, name,
          "Proxy available on " + launch.route->uri());
  report(progress, ProfileLaunchStep::proxyReady, launch.route->uri());
}

void ProfileLauncher::stopSidecar(const ProfileLaunch& launch, const Progress& progress) {
  if (!launch.sidecar)
    return;
  sidecars_.stopAndWait(launch.profile.id, launch.sidecar->generation, launch.paths());
  report(progress, ProfileLaunchStep::sidecarStopped, launch.sidecar->generation.uppercaseString());
}

ProxyVerdict ProfileLauncher::checkProxy(ProfileLaunch& launch, double minimumProbeInterval) {
  if (!launch.sidecar)
    return ProxyVerdict::unproxied;
  const auto health = sidecars_.runtimeHealth(launch.profile.id, minimumProbeInterval);
  const bool available = health && health->isAvailable();
  if (available != !launch.proxyLost) {
    launch.proxyLost = !available;
    const auto name =
        connectionName(VLESSConnectionRepository(baseDirectory_, defaultBaseDirectory_),
                       launch.sidecar->connectionID);
    if (available)
      journal(launch.paths(), ProfileActivityKind::proxyConnectionAvailable, name,
              "Proxy available on " + launch.sidecar->localProxy().uri());
    else if (launch.profile.allowSystemRouteFallback)
      journal(launch.paths(), ProfileActivityKind::proxyUnavailableWhileRunning, name,
              "Proxy unavailable; application kept open");
    else
      journal(launch.paths(), ProfileActivityKind::proxyDisconnected, name,
              "Proxy disconnected; profile stopped");
  }
  if (available)
    return ProxyVerdict::available;
  return launch.profile.allowSystemRouteFallback ? ProxyVerdict::unavailableKeptOpen
                                                 : ProxyVerdict::unavailableMustStop;
}

ProcessSnapshot ProfileLauncher::status(const ProfileLaunch& launch) {
  auto snapshot = processes_.status(launch.profile.id, launch.paths());
  if (!snapshot)
    throw KorvelinCoreError::notRunning(launch.profile.id);
  return *snapshot;
}

ProcessSnapshot ProfileLauncher::stop(const ProfileLaunch& launch,
                                      double timeout,
                                      const Progress& progress) {
  report(progress, ProfileLaunchStep::stopRequested, launch.run.runID.uppercaseString());
  processes_.stop(launch.profile.id, launch.paths(), timeout);
  report(progress, ProfileLaunchStep::applicationStopped, launch.run.runID.uppercaseString());
  return finish(launch, progress);
}

ProcessSnapshot ProfileLauncher::finish(const ProfileLaunch& launch, const Progress& progress) {
  auto confirmed =
      processes_.confirmCompletion(launch.profile.id, launch.run.runID, launch.paths());
  report(progress, ProfileLaunchStep::completionConfirmed, launch.run.runID.uppercaseString());
  if (launch.browserBridge)
    launch.browserBridge->stop();
  stopSidecar(launch, progress);
  return confirmed;
}

}  // namespace korvelin
