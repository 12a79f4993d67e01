// korvelin launch PROFILE [--json] [--stop-timeout S] [--xray PATH] [--guardian PATH]
//                 [--probe-url URL]
//
// Launches a catalogued profile as its verified application, behind the
// proxy sidecar of its saved connection, and stays with it until it ends or
// is interrupted; then stops everything in order.

#include <signal.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/HostClient.h"
#include "cli/RunSupervision.h"
#include "cli/SidecarSetup.h"
#include "core/base/CoreError.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/files/FilePath.h"
#include "core/launch/ProfileLauncher.h"
#include "core/process/ProcessSupervisor.h"

namespace korvelin::cli {
namespace {

struct LaunchOptions {
  std::string profile;
  bool json = false;
  double stopTimeout = 10;
  SidecarTools tools = defaultSidecarTools();
  std::string browserShim = defaultBrowserShim();
};

// The launch as a client of the base's host, which supervises the
// application whatever becomes of this process. Absent when no host runs
// and none may be started: the launch is then supervised here.
std::optional<int> launchThroughHost(const LaunchOptions& options,
                                     const GlobalOptions& global,
                                     const Uuid& id) {
  HostRequest request;
  request.operation = HostOperation::launch;
  request.profileID = id;
  request.engine = options.tools.engine.empty() ? "" : standardizedPath(options.tools.engine);
  request.guardian = options.tools.guardian.empty() ? "" : standardizedPath(options.tools.guardian);
  request.probeURL = options.tools.probeURL;
  request.browserShim = options.browserShim.empty() ? "" : standardizedPath(options.browserShim);
  request.wait = true;
  const sigset_t stopSignals = blockStopSignals();
  return throughHost(global, request, [&](HostExchange& exchange) {
    // Each step as the host reports it, then the launch, then its end: the
    // same lines as a launch supervised here.
    std::optional<int> failed;
    auto show = [&](const nlohmann::json& line) {
      const auto event = line.value("event", "");
      if (event == "error")
        failed = failWithHostReply(line);
      else if (const auto step = hostStep(line))
        printLaunchStep(*step, options.json);
      else if (options.json)
        std::cout << line.dump() << std::endl;
      else if (event == "launched")
        say({"run {0} (log {1}); Ctrl-C stops it",
             {line.at("launch").at("run").at("runID").get<std::string>(),
              line.at("launch").at("run").at("logURL").get<std::string>()}});
    };
    show(exchange.first);
    if (failed)
      return *failed;
    const auto confirmed =
        followHostedRun(exchange, global, id, options.stopTimeout, stopSignals, options.json, show);
    if (failed || !confirmed)
      return failed.value_or(kExitFailure);
    if (options.json)
      std::cout << nlohmann::json{{"event", "completed"}, {"run", *confirmed}}.dump() << std::endl;
    else
      say(describeEnd(*confirmed));
    return exitStatusOf(*confirmed);
  });
}

// Checks the sidecar at most once a second (probing egress again every 30
// s) and says when its health changes; true when the profile must stop.
bool proxyRequiresStop(ProfileLauncher& launcher, ProfileLaunch& launch, bool json) {
  static auto lastCheck = std::chrono::steady_clock::time_point();
  const auto now = std::chrono::steady_clock::now();
  if (!launch.sidecar || now - lastCheck < std::chrono::seconds(1))
    return false;
  lastCheck = now;
  const bool wasLost = launch.proxyLost;
  const auto verdict = launcher.checkProxy(launch, 30);
  if (launch.proxyLost != wasLost) {
    if (json)
      std::cout << nlohmann::json{{"event", "proxy_health"}, {"verdict", rawValue(verdict)}}.dump()
                << std::endl;
    else if (verdict == ProxyVerdict::available)
      say("The running profile's proxy connection is available again.");
    else if (verdict == ProxyVerdict::unavailableKeptOpen)
      say(
          {"Profile “{0}” remains open. The proxy connection is unavailable and will be checked "
           "again automatically.",
           {launch.profile.name}});
    else
      say({"Profile “{0}” was stopped to prevent a direct connection.", {launch.profile.name}});
  }
  return verdict == ProxyVerdict::unavailableMustStop;
}

int launchProfile(LaunchOptions options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  if (!(options.stopTimeout > 0))
    return fail("--stop-timeout must be greater than zero", kExitUsage);
  if (auto status = launchThroughHost(options, global, *id))
    return *status;
  auto instance = takeInstanceLease(global);
  if (!instance)
    return kExitFailure;

  const sigset_t stopSignals = blockStopSignals();
  ::signal(SIGPIPE, SIG_IGN);
  // Links the application opens are reported from the bridge's threads.
  std::mutex printing;
  const ProfileLauncher::Progress progress = [&](const ProfileLaunchProgress& step) {
    std::lock_guard guard(printing);
    printLaunchStep(step, options.json);
  };

  ProcessSupervisor processes;
  auto sidecars = makeSidecarSupervisor(options.tools);
  ProfileLauncher launcher(global.baseDirectory, global.defaultBaseDirectory, processes, *sidecars);
  launcher.setBrowserShim(options.browserShim);
  launcher.setBrowserLinkReport(progress);
  std::optional<ProfileLaunch> started;
  try {
    started = launcher.launch(*id, progress);
  } catch (const KorvelinCoreError& e) {
    // Without an engine the sidecar cannot start: say where one is looked for.
    if (e.errorCase() == KorvelinCoreError::Case::xrayUnavailable && options.tools.engine.empty())
      return fail(noRealEngineMessage());
    throw;
  }
  ProfileLaunch& launch = *started;
  if (options.json)
    std::cout << nlohmann::json{{"event", "launched"}, {"launch", launch}}.dump() << std::endl;
  else
    say({"run {0} (log {1}); Ctrl-C stops it",
         {launch.run.runID.uppercaseString(), launch.run.logPath}});

  // A stop confirms completion and stops the sidecar itself; a group that
  // ended by itself is finished here.
  bool stopped = false;
  auto last = superviseUntilStopped(
      stopSignals,
      {[&] { return launcher.status(launch); },
       [&] {
         auto snapshot = launcher.stop(launch, options.stopTimeout, progress);
         stopped = true;
         return snapshot;
       },
       [&](int signal) {
         if (!options.json && signal > 0)
           say({"stopping ({0})...", {::strsignal(signal)}});
       },
       [&](const ProcessSnapshot& run) {
         std::ostringstream seconds;
         seconds << options.stopTimeout;
         if (options.json)
           std::cout << nlohmann::json{{"event", "stop_timed_out"}, {"run", run}}.dump()
                     << std::endl;
         else
           say(
               {"the program did not stop within {0} s; still supervising it (send the signal "
                "again to ask "
                "again)",
                {seconds.str()}});
       },
       [&] { return proxyRequiresStop(launcher, launch, options.json); }});
  const auto confirmed = stopped ? last : launcher.finish(launch, progress);
  if (options.json)
    std::cout << nlohmann::json{{"event", "completed"}, {"run", confirmed}}.dump() << std::endl;
  else
    say(describeEnd(confirmed));
  return exitStatusOf(confirmed);
}

const Registration kRegistration{
    {"launch",
     "Launch a catalogued profile's application behind its proxy until it ends or is interrupted",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<LaunchOptions>();
       command.footer(text(
           "Loads the profile from the catalogue, verifies its application, starts the proxy "
           "sidecar of its saved connection (or uses its fixed proxy), launches the application "
           "under supervision and attaches the sidecar to it, printing each step. A sidecar that "
           "cannot be started and proven fails the launch, with nothing started, unless the "
           "profile allows the system route; a sidecar lost later stops such a profile. When the "
           "application ends, or Ctrl-C, SIGTERM or SIGHUP stop it, completion is confirmed and "
           "the sidecar stopped. Exit status: the application's (128 + signal when a signal "
           "ended it), 1 when the launch failed, 2 for a wrong command line."));
       command.add_option("PROFILE", options->profile, text("Profile UUID or name"))->required();
       command.add_flag("--json", options->json,
                        text("One JSON object per line: each step, launched, completed"));
       command
           .add_option("--stop-timeout", options->stopTimeout,
                       text("how long Ctrl-C waits for the group to stop (default 10)"))
           ->check(CLI::PositiveNumber);
       command.add_option(
           "--xray", options->tools.engine,
           text("The engine (default: the Xray scripts/bootstrap builds in ~/.cache/korvelin)"));
       command.add_option("--guardian", options->tools.guardian, text("The guardian executable"));
       command.add_option("--browser-shim", options->browserShim,
                          text("The browser program of Claude profiles (default: "
                               "korvelin-browser-shim beside korvelin)"));
       command.add_option("--probe-url", options->tools.probeURL, text("Egress probe URL"))
           ->capture_default_str();
       return [options, &global] { return launchProfile(*options, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
