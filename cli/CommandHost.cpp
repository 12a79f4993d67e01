// korvelin host [--foreground] [--stop-timeout S] [--usage-interval S]
// korvelin ps [--json]
// korvelin stop PROFILE [--timeout S] [--json]

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/HostClient.h"
#include "cli/RunSupervision.h"
#include "cli/SidecarSetup.h"
#include "core/base/CoreError.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/files/FilePath.h"
#include "core/host/HostServer.h"
#include "core/host/HostUsageMonitors.h"
#include "core/host/HostYouTrackGateways.h"
#include "core/platform/Paths.h"

namespace korvelin::cli {
namespace {

using namespace std::chrono_literals;

struct HostOptions {
  bool foreground = false;
  bool notifyReady = false;
  bool exitWhenIdle = false;
  double stopTimeout = 10;
  double usageInterval = 60;
  YouTrackGatewayUpstream youtrack;  // no gateways while its URL is empty
};

// How long an on-demand host stays once nothing runs and nobody is connected.
constexpr auto kIdleLinger = 1s;
// How long a host started on demand waits for the lease of a host that is
// exiting.
constexpr auto kLeaseWait = 5s;

// The starter reads one line: "ready" or "error: " and the reason. Then the
// host's standard streams go to the null device.
void notifyStarter(bool notify, const std::string& line) {
  if (!notify)
    return;
  std::cout << line << std::endl;
  const int null = ::open(std::string(platform::kNullDevice).c_str(), O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::close(null);
  }
}

void sayFound(const Uuid& id, const std::string& what) {
  printLine(id.uppercaseString() + ": " + what);
}

int serveHost(const HostOptions& options, const GlobalOptions& global) {
  if (!(options.stopTimeout > 0))
    return fail("--stop-timeout must be greater than zero", kExitUsage);
  if (!options.youtrack.url.empty() && !isAcceptableGatewayUpstream(options.youtrack.url))
    return fail(
        "--youtrack-upstream must be an https URL whose path is /mcp (http only on a loopback "
        "host)",
        kExitUsage);
  // Signals are taken by one thread; every other thread (and every program
  // started, which resets its mask) never sees them.
  sigset_t stopSignals;
  ::sigemptyset(&stopSignals);
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    ::sigaddset(&stopSignals, s);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::unique_ptr<ApplicationInstanceLease> lease;
  try {
    const auto deadline = std::chrono::steady_clock::now() + kLeaseWait;
    for (;;) {
      auto acquisition =
          ApplicationInstanceLease::acquire(global.baseDirectory, global.defaultBaseDirectory);
      if (acquisition.acquired()) {
        lease = std::move(acquisition.lease);
        break;
      }
      // Started for a client while another host took over: that one serves.
      if (options.notifyReady && connectToHost(global.baseDirectory)) {
        notifyStarter(true, "ready");
        return kExitSuccess;
      }
      if (!options.notifyReady || std::chrono::steady_clock::now() >= deadline)
        break;
      std::this_thread::sleep_for(50ms);
    }
  } catch (const ApplicationInstanceLeaseError& e) {
    notifyStarter(options.notifyReady, "error: " + e.errorDescription());
    return failComposed(e.errorDescription());
  }
  if (!lease) {
    const std::string base = standardizedPath(global.baseDirectory);
    const std::string reason = "another copy of Korvelin is using " + base + " (it holds " +
                               appendingPathComponent(base, ApplicationInstanceLease::fileName) +
                               ")";
    notifyStarter(options.notifyReady, "error: " + reason);
    return fail(
        {"another copy of Korvelin is using {0} (it holds {1}); nothing was changed, try "
         "again once it has finished",
         {base, appendingPathComponent(base, ApplicationInstanceLease::fileName)}});
  }

  std::optional<HostControlListener> listener;
  try {
    listener.emplace(global.baseDirectory);
  } catch (const KorvelinCoreError& e) {
    notifyStarter(options.notifyReady, "error: " + e.errorDescription());
    throw;
  }
  ProfileHost host(global.baseDirectory, global.defaultBaseDirectory,
                   [](const ProfileHost::SidecarTools& tools) {
                     return makeSidecarSupervisor({tools.guardian, tools.engine, tools.probeURL});
                   });
  host.addRunService(std::make_shared<HostUsageMonitors>(
      LaunchAdapterContext{global.defaultBaseDirectory, global.baseDirectory},
      options.usageInterval, [&host](const Uuid& id) { return host.sidecarRoute(id); }));
  if (!options.youtrack.url.empty())
    host.addRunService(std::make_shared<HostYouTrackGateways>(
        global.baseDirectory, global.defaultBaseDirectory, options.youtrack,
        [&host](const Uuid& id) { return host.sidecarRoute(id); }));
  // What was found goes to the terminal of a host in the foreground; a host
  // started for a client keeps it in its notes, which `korvelin ps` shows.
  for (const auto& [id, what] : host.adoptLeftovers())
    if (!options.notifyReady)
      sayFound(id, what);
  if (options.notifyReady)
    notifyStarter(true, "ready");
  else
    say({"serving {0} (pid {1})", {listener->path(), std::to_string(::getpid())}});

  HostServer server(host, *listener, lease->fileDescriptor());
  std::atomic<bool> finished{false};
  std::thread signals([&] {
    while (!finished) {
      timespec wait{0, 100'000'000};
      if (::sigtimedwait(&stopSignals, nullptr, &wait) > 0) {
        server.requestStop();
        return;
      }
    }
  });
  server.serve(options.exitWhenIdle ? std::optional(std::chrono::milliseconds(kIdleLinger))
                                    : std::nullopt);
  finished = true;
  signals.join();
  for (const auto& [id, what] : host.shutdown(options.stopTimeout))
    sayFound(id, what);
  say("host stopped");
  return kExitSuccess;
}

int startDetachedHost(const HostOptions& options, const GlobalOptions& global) {
  if (connectToHost(global.baseDirectory))
    return fail({"a host already serves {0}", {standardizedPath(global.baseDirectory)}});
  std::vector<std::string> youtrack;
  if (!options.youtrack.url.empty())
    youtrack = {"--youtrack-upstream", options.youtrack.url};
  if (options.youtrack.certificateAuthorities)
    youtrack.insert(youtrack.end(), {"--youtrack-ca", *options.youtrack.certificateAuthorities});
  const int pid = startHost(global, options.exitWhenIdle, youtrack);
  say({"host started (pid {0})", {std::to_string(pid)}});
  return kExitSuccess;
}

const Registration kHost{
    {"host", "Serve the base directory's profiles: runs, sidecars and their recovery",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<HostOptions>();
       command.add_flag("--foreground", options->foreground,
                        text("Stay in the foreground (for service managers)"));
       command
           .add_option("--stop-timeout", options->stopTimeout,
                       text("Seconds a clean stop (SIGTERM) gives all profiles together to stop "
                            "(default 10)"))
           ->capture_default_str();
       command
           .add_option("--usage-interval", options->usageInterval,
                       text("Seconds between the usage readings of each running Codex profile "
                            "(at least 5, default 60)"))
           ->check(CLI::Range(CodexUsageAppServerClient::kMinimumRefreshInterval, 86400.0))
           ->capture_default_str();
       auto* upstream = command.add_option(
           "--youtrack-upstream", options->youtrack.url,
           text("Serve each running Codex profile a YouTrack gateway to this MCP "
                "endpoint while a token is stored"));
       command
           .add_option_function<std::string>(
               "--youtrack-ca",
               [options](const std::string& file) {
                 options->youtrack.certificateAuthorities = file;
               },
               text("PEM file of the authorities to trust instead of the system's"))
           ->needs(upstream);
       command.add_flag("--notify-ready", options->notifyReady)->group("");
       command.add_flag("--exit-when-idle", options->exitWhenIdle)->group("");
       command.footer(text(
           "One host serves a base directory: it holds the single-instance lease while it runs "
           "and answers the commands that change the base on the private control socket "
           ".host.sock. Commands start one on demand when none runs (it then exits once nothing "
           "runs). When started, it re-adopts the applications and sidecars a host that died "
           "left running and says what it found. SIGTERM, SIGINT or SIGHUP stop every profile "
           "in the order they started, then the sidecars."));
       return [options, &global] {
         return options->foreground ? serveHost(*options, global)
                                    : startDetachedHost(*options, global);
       };
     }}};

std::string uptimeText(double startedAt) {
  using namespace std::chrono;
  const double now = duration<double>(system_clock::now().time_since_epoch()).count();
  auto seconds = static_cast<long long>(std::max(0.0, std::floor(now - startedAt)));
  const long long hours = seconds / 3600, minutes = seconds / 60 % 60;
  seconds %= 60;
  std::string out;
  if (hours)
    out += std::to_string(hours) + "h ";
  if (hours || minutes)
    out += std::to_string(minutes) + "m ";
  return out + std::to_string(seconds) + "s";
}

// "94% remaining (codex 5h 94%, 7d 76%)", or why there is no reading.
std::string usageText(const nlohmann::json& usage) {
  const auto state = usage.at("state").get<std::string>();
  if (state == "starting")
    return text("waiting for the first reading");
  if (state == "unavailable")
    return text({"unavailable: {0}", {usage.value("reason", "")}});
  if (!usage.contains("observedAt"))
    return text("disconnected from the Codex app-server");
  std::string windows;
  std::string bucket;
  for (const auto& window : usage.at("windows")) {
    const auto name = window.at("bucket").get<std::string>();
    windows += windows.empty() ? "" : ", ";
    if (name != bucket)
      windows += name + " ";
    bucket = name;
    windows +=
        windowDurationText(window.contains("windowDurationMins")
                               ? std::optional(window["windowDurationMins"].get<std::int64_t>())
                               : std::nullopt) +
        " " + std::to_string(window.at("remainingPercent").get<int>()) + "%";
  }
  const std::string percent = usage.contains("remainingPercent")
                                  ? std::to_string(usage["remainingPercent"].get<int>()) + "%"
                                  : "\u2014";
  std::string shown = text({"{0} remaining", {percent}});
  if (!windows.empty())
    shown += " (" + windows + ")";
  if (state == "disconnected")
    shown +=
        "; " + text({"as last read at {0}", {localDateText(usage["observedAt"].get<double>())}});
  return shown;
}

int printProfiles(const HostExchange& exchange, bool json) {
  const auto& profiles = exchange.first.at("profiles");
  if (json) {
    printJson({{"profiles", profiles}, {"host", exchange.first.at("hostPID")}});
    return kExitSuccess;
  }
  if (profiles.empty())
    say("nothing is running");
  for (const auto& profile : profiles) {
    printLine(profile.at("profileID").get<std::string>());
    std::vector<std::pair<Message, std::string>> rows;
    if (const auto& run = profile.at("run"); !run.is_null()) {
      rows.emplace_back("run",
                        run.at("runID").get<std::string>() +
                            (profile.at("adopted").get<bool>() ? text(" (re-adopted)") : ""));
      rows.emplace_back("pid", std::to_string(run.at("rootPID").get<int>()));
      rows.emplace_back("uptime", uptimeText(run.at("startedAt").get<double>()));
      rows.emplace_back("route", profile.at("route").get<std::string>());
    }
    std::string proxy = profile.at("proxy").get<std::string>();
    if (!profile.at("proxyPort").is_null())
      proxy += " (127.0.0.1:" + std::to_string(profile.at("proxyPort").get<int>()) + ")";
    rows.emplace_back("proxy", proxy);
    if (const auto& usage = profile.at("usage"); !usage.is_null())
      rows.emplace_back("usage", usageText(usage));
    if (const auto note = profile.at("note").get<std::string>(); !note.empty())
      rows.emplace_back("note", note);
    printRows(rows, 8);
  }
  return kExitSuccess;
}

int listProfiles(bool json, const GlobalOptions& global) {
  HostRequest request;
  request.operation = HostOperation::ps;
  if (auto status = throughHost(
          global, request, [&](HostExchange& exchange) { return printProfiles(exchange, json); }))
    return *status;
  if (json)
    printJson({{"profiles", nlohmann::json::array()}, {"host", nullptr}});
  else
    say("no host is running for this base");
  return kExitSuccess;
}

const Registration kPs{{"ps", "List the profiles the host runs: run, pid, uptime, route, proxy",
                        [](CLI::App& command, const GlobalOptions& global) -> Runner {
                          auto json = std::make_shared<bool>(false);
                          command.add_flag("--json", *json, text("Print JSON"));
                          return [json, &global] { return listProfiles(*json, global); };
                        }}};

int stopProfile(const std::string& profile,
                double timeout,
                bool json,
                const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(profile, global);
  if (!id)
    return kExitUsage;
  if (!(timeout > 0) || timeout > 3600)
    return fail("--timeout must be above 0 and at most 3600 seconds", kExitUsage);
  HostRequest request;
  request.operation = HostOperation::stop;
  request.profileID = *id;
  request.timeout = timeout;
  const auto status = throughHost(global, request, [&](HostExchange& exchange) {
    // The steps of the stop as the host takes them, then its end.
    for (auto line = std::optional(exchange.first);;) {
      if (!line)
        return fail(
            "the host ended before the stop did; `korvelin ps` shows whether it still runs");
      if (line->value("event", "") == "error")
        return failWithHostReply(*line);
      if (const auto step = hostStep(*line)) {
        printLaunchStep(*step, json);
      } else if (line->value("event", "") == "stopped") {
        if (json)
          std::cout << line->dump() << std::endl;
        else
          say({"profile {0} stopped", {id->uppercaseString()}});
        return kExitSuccess;
      }
      bool closed = false;
      line = exchange.reader.next(-1, closed);
    }
  });
  return status ? *status : fail("no host is running for this base");
}

const Registration kStop{
    {"stop", "Stop a profile the host runs, then its sidecar",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto profile = std::make_shared<std::string>();
       auto timeout = std::make_shared<double>(10);
       auto json = std::make_shared<bool>(false);
       command.add_option("PROFILE", *profile, text("Profile identifier"))->required();
       command.add_flag("--json", *json, text("One JSON object per line: each step, stopped"));
       command
           .add_option("--timeout", *timeout,
                       text("Seconds the profile's process group gets to stop (default 10)"))
           ->capture_default_str();
       return [profile, timeout, json, &global] {
         return stopProfile(*profile, *timeout, *json, global);
       };
     }}};

}  // namespace
}  // namespace korvelin::cli
