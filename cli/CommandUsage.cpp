// korvelin usage PROFILE [--installation FILE.json] [--watch] [--interval S] [--json]
//                        [--menu full|one|two]

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/RunSupervision.h"
#include "cli/Text.h"
#include "core/apps/ManagedApplicationSupport.h"
#include "core/base/CoreError.h"
#include "core/codex/CodexUsageAppServerClient.h"
#include "core/codex/CodexUsageReset.h"
#include "core/files/FilePath.h"
#include "core/host/HostUsageMonitors.h"
#include "core/profile/ProfileRepository.h"

namespace korvelin::cli {
namespace {

using namespace std::chrono_literals;

// How long a single reading waits for its first answer.
constexpr auto kFirstAnswerTimeout = 60s;
// The menu shows one profile here; the bar's width for it.
constexpr std::int64_t kMenuCharacters = 40;

struct UsageOptions {
  std::string profile;
  std::string installation;
  bool watch = false;
  double interval = 60;
  bool json = false;
  std::string menu;
};

MenuBarProfileNameMode menuMode(const std::string& word) {
  if (word == "one")
    return MenuBarProfileNameMode::oneCharacter;
  if (word == "two")
    return MenuBarProfileNameMode::twoCharacters;
  return MenuBarProfileNameMode::full;
}

// A record is trusted only while its backend is still the very file
// recorded.
CodexInstallation sameBackend(const CodexInstallation& installation) {
  struct stat info;
  const auto backend = pathFromFileURL(installation.backendURL);
  if (!backend || ::lstat(backend->c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      FileIdentity::of(info) != installation.backendIdentity)
    throw KorvelinCoreError::installationChanged();
  return installation;
}

class UsagePrinter {
 public:
  UsagePrinter(const AppProfile& profile, const UsageOptions& options)
      : profile_(profile), options_(options) {}

  // Prints one event; true for a snapshot. A snapshot that differs from the
  // last one printed only in its time is not printed again.
  bool print(const CodexUsageMonitorEvent& event) {
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    nlohmann::json line = {{"event", rawValue(event.kind)}, {"at", now}};
    switch (event.kind) {
      case CodexUsageMonitorEvent::Kind::snapshot:
        printResets(detector_.observe(*event.snapshot, profile_.id), now);
        if (!changed(*event.snapshot))
          return true;
        line["snapshot"] = *event.snapshot;
        if (!options_.menu.empty())
          line["menu"] = menuText(*event.snapshot);
        printSnapshot(line, *event.snapshot);
        return true;
      case CodexUsageMonitorEvent::Kind::unavailable:
        line["reason"] = rawValue(*event.reason);
        if (options_.json)
          std::cout << line.dump() << std::endl;
        else
          say({"{0}  usage unavailable: {1}", {localDateText(now), line["reason"]}});
        return false;
      case CodexUsageMonitorEvent::Kind::disconnected:
        if (options_.json)
          std::cout << line.dump() << std::endl;
        else
          say({"{0}  disconnected from the Codex app-server", {localDateText(now)}});
        return false;
    }
    return false;
  }

 private:
  bool changed(const CodexUsageSnapshot& snapshot) {
    CodexUsageSnapshot undated = snapshot;
    undated.observedAt = 0;
    if (lastPrinted_ == undated)
      return false;
    lastPrinted_ = std::move(undated);
    return true;
  }

  std::string menuText(const CodexUsageSnapshot& snapshot) const {
    const ProfileMenuUsage usage{profile_.id, profile_.name, profile_.color,
                                 CodexProfileUsageAvailability::available(snapshot)};
    return CompactMenuPresentation({usage}, menuMode(options_.menu), 1, kMenuCharacters).text();
  }

  void printSnapshot(const nlohmann::json& line, const CodexUsageSnapshot& snapshot) const {
    if (options_.json) {
      std::cout << line.dump() << std::endl;
      return;
    }
    const auto percent = snapshot.canonicalRemainingPercent();
    say({"{0}  {1}: {2} remaining",
         {localDateText(snapshot.observedAt), profile_.name,
          percent ? std::to_string(*percent) + "%" : "\u2014"}});
    for (const auto& bucket : snapshot.buckets)
      for (const auto* window : {&bucket.primary, &bucket.secondary}) {
        if (!*window)
          continue;
        const std::string name = bucket.name.value_or(bucket.id);
        const std::string length = windowDurationText((*window)->windowDurationMinutes);
        const std::string remaining = std::to_string((*window)->remainingPercent());
        if ((*window)->resetsAt)
          say({"{0}: {1} window, {2}% remaining, resets {3}",
               {"  " + name, length, remaining, localDateText(double(*(*window)->resetsAt))}});
        else
          say({"{0}: {1} window, {2}% remaining", {"  " + name, length, remaining}});
      }
    if (!options_.menu.empty())
      say({"{0}menu: {1}", {"  ", line["menu"].get<std::string>()}});
  }

  void printResets(const std::vector<CodexUsageResetWindow>& resets, double now) const {
    for (const auto& reset : resets) {
      if (options_.json) {
        nlohmann::json line = {
            {"event", "reset"}, {"at", now}, {"remainingPercent", reset.remainingPercent}};
        if (reset.durationMinutes)
          line["windowDurationMins"] = *reset.durationMinutes;
        std::cout << line.dump() << std::endl;
      } else {
        say({"{0}  Codex limits reset: {1} window, {2}% remaining",
             {localDateText(now), windowDurationText(reset.durationMinutes),
              std::to_string(reset.remainingPercent)}});
      }
    }
  }

  const AppProfile& profile_;
  const UsageOptions& options_;
  CodexUsageResetDetector detector_;
  std::optional<CodexUsageSnapshot> lastPrinted_;
};

// Until the stream ends or a stop signal arrives; the signal stops the
// session, which then ends the stream.
int watch(CodexUsageEventStream& stream, UsagePrinter& printer, const sigset_t& stopSignals) {
  bool stopped = false;
  std::thread waiter([&] {
    int signal = 0;
    ::sigwait(&stopSignals, &signal);
    stopped = signal != SIGUSR1;
    stream.stop();
  });
  while (const auto event = stream.next())
    printer.print(*event);
  ::pthread_kill(waiter.native_handle(), SIGUSR1);
  waiter.join();
  return stopped ? kExitSuccess : kExitFailure;
}

int usage(const UsageOptions& options, const GlobalOptions& global) {
  const auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  const auto catalogue =
      ProfileRepository(global.baseDirectory, global.defaultBaseDirectory).load().profiles;
  const auto profile = std::find_if(catalogue.begin(), catalogue.end(),
                                    [&](const AppProfile& p) { return p.id == *id; });
  if (profile == catalogue.end())
    return failComposed(KorvelinCoreError::profileNotFound(*id).errorDescription());
  if (profile->adapterIdentifier != ManagedApplicationSupport::codexAdapterIdentifier)
    return fail({"profile {0} does not run Codex", {profile->name}});
  if (profile->proxyConnectionID)
    return fail(
        {"profile {0} routes through a saved connection; its usage is read by the host that runs "
         "its sidecar (route unverified here)",
         {profile->name}});

  // A record given on the command line is the user's own choice, trusted
  // while its backend is still the very file recorded; otherwise the
  // installed bundle is inspected, and inspected again before the backend
  // starts.
  CodexUsageAppServerClient::Inspector inspect =
      [](const CodexInstallation& recorded, const std::string&) { return sameBackend(recorded); };
  std::optional<CodexInstallation> installation;
  if (!options.installation.empty()) {
    if (!(installation = readInstallation(options.installation)))
      return kExitFailure;
  } else if (auto inspected = inspectCodexForUsage(
                 *profile, {global.defaultBaseDirectory, global.baseDirectory})) {
    installation = std::move(inspected->installation);
    inspect = std::move(inspected->inspect);
  } else {
    return fail("this build cannot inspect Codex installations: pass --installation FILE.json",
                kExitUsage);
  }

  // The stop signals (and SIGUSR1, which ends the waiter) are taken by
  // `watch`'s waiter alone; the session's thread inherits the mask.
  sigset_t stopSignals = blockStopSignals();
  ::sigaddset(&stopSignals, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  const CodexUsageAppServerClient client(global.defaultBaseDirectory, global.baseDirectory,
                                         options.interval, inspect);
  const auto stream =
      client.events(*installation, ProfilePaths(*id, global.baseDirectory), profile->proxy);
  UsagePrinter printer(*profile, options);
  if (options.watch)
    return watch(*stream, printer, stopSignals);
  const auto first = stream->next(kFirstAnswerTimeout);
  if (!first)
    return fail("the Codex app-server did not answer in time");
  return printer.print(*first) ? kExitSuccess : kExitFailure;
}

const Registration kRegistration{
    {"usage", "Show how much of a Codex profile's rate limits remains",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<UsageOptions>();
       command.add_option("PROFILE", options->profile, text("Profile identifier"))->required();
       command.add_option("--installation", options->installation,
                          text("The verified installation record of the profile's Codex "
                               "(default: the installed bundle, inspected)"));
       command.add_flag("--watch", options->watch,
                        text("Keep reading until interrupted; print every change and every "
                             "reset of a limit"));
       command
           .add_option("--interval", options->interval,
                       text("Seconds between readings (at least 5, default 60)"))
           ->check(CLI::Range(CodexUsageAppServerClient::kMinimumRefreshInterval, 86400.0));
       command
           .add_option("--menu", options->menu,
                       text("Also show the menu-bar text, with the name in full or its first "
                            "one or two characters"))
           ->check(CLI::IsMember({"full", "one", "two"}));
       command.add_flag("--json", options->json, text("Print one JSON object per event"));
       return [options, &global] {
         try {
           return usage(*options, global);
         } catch (const KorvelinCoreError& e) {
           return failComposed(e.errorDescription());
         }
       };
     }}};

}  // namespace
}  // namespace korvelin::cli
