#pragma once

// The long-running owner of a base directory's profiles. One host holds the
// single-instance lease for its whole life (the caller takes it) and owns
// what lives while profiles run: the process supervisor, one sidecar
// supervisor per proxied profile, the activity journal writer and the
// per-run services other parts plug in. Requests arrive from the control
// socket; a monitor calls `poll` to notice runs that ended on their own.
//
// After a crash of an earlier host, `adoptLeftovers` finds what it left:
// running applications are re-adopted from their launch leases, their
// sidecars through the restored-proxy observation, sidecars without an
// application are stopped, and leases of runs that are gone are recovered.
// Whatever cannot be proved stays blocked and is reported, never guessed.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/activity/ProfileActivityJournal.h"
#include "core/activity/ProfileUsageRoute.h"
#include "core/base/Uuid.h"
#include "core/host/HostProtocol.h"
#include "core/host/HostedUsage.h"
#include "core/launch/ProfileLauncher.h"
#include "core/platform/ScopedFD.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/AppProfile.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/XraySidecarSupervisor.h"

namespace korvelin {

// One profile as `ps` shows it.
struct HostedProfileStatus {
  Uuid profileID;
  std::optional<ProcessSnapshot> run;
  bool adopted = false;  // re-adopted from its lease after a host crash
  std::string route;     // the route the run's arguments ask for
  // "none", or the sidecar's health: "available", "unavailable",
  // "recoveryRequired", "unverified" (a re-adopted sidecar that could not be
  // proved), "notApplicable".
  std::string proxy = "none";
  std::optional<std::uint16_t> proxyPort;
  std::string note;                  // what re-adoption found, or why the profile is blocked
  std::optional<HostedUsage> usage;  // a running Codex profile's usage

  bool operator==(const HostedProfileStatus&) const = default;
};

void to_json(nlohmann::json& json, const HostedProfileStatus& status);

// The reply line of one step of a launch or a stop: {"event": "step",
// "step": its name, "detail"}.
nlohmann::json hostStepLine(const ProfileLaunchProgress& step);

// Long-lived work that belongs to one run (a usage monitor, a gateway). The
// host calls `runStarted` once a run is supervised or re-adopted, and
// `runEnded` after its process group has stopped and before its sidecar is
// stopped. Exceptions are caught and ignored: a service never decides
// whether a profile runs.
class HostRunService {
 public:
  virtual ~HostRunService() = default;
  virtual void runStarted(const ProfilePaths& paths, const ProcessSnapshot& run) = 0;
  virtual void runEnded(const ProfilePaths& paths, const ProcessSnapshot& run) = 0;
  // Adds what the service knows of a profile to what `ps` shows; called
  // without the host's lock.
  virtual void describe(const Uuid& /*profileID*/, HostedProfileStatus& /*status*/) {}
};

// The catalogued profile `profileID` when its application is Codex, which
// the services that serve Codex profiles start from; absent otherwise.
std::optional<AppProfile> catalogedCodexProfile(const std::string& baseDirectory,
                                                const std::string& defaultBaseDirectory,
                                                const Uuid& profileID);

// The route a service of a profile's run may send its own traffic by: the
// profile's fixed proxy, or none (the system route); for a profile on a
// saved connection the proxy of the sidecar this host started or proved for
// the run (`sidecarRoute`), and absent when there is none, so that nothing
// goes by a route the profile did not choose.
using SidecarRouteLookup = std::function<ProfileUsageRoute(const Uuid& profileID)>;
std::optional<std::optional<ProfileProxyConfiguration>> hostedServiceRoute(
    const AppProfile& profile,
    const SidecarRouteLookup& sidecarRoute);

class ProfileHost {
 public:
  struct SidecarTools {
    std::string engine;
    std::string guardian;
    std::string probeURL;
  };
  using SidecarFactory = std::function<std::unique_ptr<XraySidecarSupervisor>(const SidecarTools&)>;
  using StartedCallback = std::function<void(const ProcessSnapshot&)>;
  using Progress = std::function<void(const ProfileLaunchProgress&)>;

  ProfileHost(std::string baseDirectory, std::string defaultBaseDirectory, SidecarFactory sidecars);
  ~ProfileHost();
  ProfileHost(const ProfileHost&) = delete;
  ProfileHost& operator=(const ProfileHost&) = delete;

  void addRunService(std::shared_ptr<HostRunService> service);

  // What an earlier host left in the base, one line per profile found.
  std::vector<std::pair<Uuid, std::string>> adoptLeftovers();

  // Starts `request.program` in the profile (its home, configuration and
  // cache redirected into the profile) and, when the profile has a sidecar
  // here, attaches it to the run. `started` runs once `list` shows the run
  // and before anything else can happen to it; `waiter`, when valid,
  // receives the "completed" line when the run ends and is closed.
  ProcessSnapshot run(const HostRequest& request,
                      const StartedCallback& started,
                      platform::ScopedFD waiter);
  // Launches a catalogued profile's application as `korvelin launch` does
  // (its adapter, its sidecar, the launch guards), reporting each step to
  // `progress`; then as `run`.
  ProfileLaunch launch(const HostRequest& request,
                       const Progress& progress,
                       const std::function<void(const ProfileLaunch&)>& started,
                       platform::ScopedFD waiter);
  // Stops the profile's run (SIGTERM to its group, re-sent until it is empty
  // or `timeout` passes: stopTimedOut, the run stays), confirms it, then
  // stops its sidecar. notRunning when the profile has no run here. Each
  // step goes to `progress` and, as a step line, to every client following
  // the run; so do the steps of a run that ends on its own.
  ProcessSnapshot stop(const Uuid& profileID, double timeout, const Progress& progress = nullptr);
  XraySidecarHandle startProxy(const HostRequest& request);
  void stopProxy(const Uuid& profileID);
  std::vector<HostedProfileStatus> list();
  // The route of the sidecar this host started or proved for the profile,
  // with its generation; `unavailable` when there is none. Services are told
  // of a run after its sidecar is known here.
  ProfileUsageRoute sidecarRoute(const Uuid& profileID);

  // Finishes runs that ended on their own and retries what waits for the
  // system (a lease whose process is not yet collected).
  void poll();

  // Stops every run in the order they started, within `budget` seconds in
  // all, then every sidecar whose run is gone. New work is refused from the
  // start. One line per profile.
  std::vector<std::pair<Uuid, std::string>> shutdown(double budget);

  // Nothing runs, nothing is blocked, nothing is in progress.
  bool idle();

  struct Slot;

 private:
  class Claim;
  Claim claim(const Uuid& profileID, bool create);
  std::optional<Claim> tryClaim(const Uuid& profileID);
  ProfilePaths pathsOf(const Uuid& profileID) const;
  void stopRun(Slot& slot, const Uuid& profileID, double timeout, const Progress& progress);
  bool proxyRequiresStop(Slot& slot);
  // After the run's group stopped: confirms it (or recovers a re-adopted
  // run's lease), tells the services and waiters, stops the sidecar.
  ProcessSnapshot finish(Slot& slot,
                         const Uuid& profileID,
                         double recoveryWait,
                         const Progress& progress);
  // The generation of the sidecar it stopped (empty when unknown); absent
  // when there was none or it could not be stopped.
  std::optional<std::string> stopSidecar(Slot& slot, const Uuid& profileID);
  // Writes `line` to the clients waiting for the profile's run, if any.
  void tellWaiters(const Uuid& profileID, const nlohmann::json& line);
  void adopt(const Uuid& profileID, Slot& slot, std::string& note);
  std::optional<Uuid> connectionOf(const Uuid& profileID, const ProfilePaths& paths) const;
  void journal(const Uuid& profileID, ProfileActivityKind kind, const std::string& detail);
  void forEachService(const std::function<void(HostRunService&)>& call);

  std::string base_;
  std::string defaultBase_;
  SidecarFactory sidecars_;
  ProcessSupervisor supervisor_;
  ProfileActivityJournal journal_;

  std::mutex lock_;
  std::condition_variable released_;
  std::map<Uuid, std::unique_ptr<Slot>> slots_;
  std::vector<std::shared_ptr<HostRunService>> services_;
  bool stopping_ = false;
};

}  // namespace korvelin
