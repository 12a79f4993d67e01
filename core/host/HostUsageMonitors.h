#pragma once

// One usage monitor per running Codex profile of the host: the profile's own
// `codex app-server`, polled every refresh interval, from the moment its run
// starts (or is re-adopted) until it ends or the host stops. Each monitor
// lives on a thread of its own, so the host never waits for a child to start
// or stop. The latest answer is what `ps` shows; a limit that resets is found
// by one detector fed by every monitor (one report per account) and written
// to the profile's activity journal.

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/activity/ProfileUsageRoute.h"
#include "core/codex/CodexUsageAppServerClient.h"
#include "core/codex/CodexUsageReset.h"
#include "core/host/ProfileHost.h"
#include "core/launch/LaunchAdapters.h"
#include "core/profile/AppProfile.h"

namespace korvelin {

// A profile's installed Codex as its adapter inspects it, and the inspection
// that checks it again before each backend starts.
struct CodexUsageInstallation {
  CodexInstallation installation;
  CodexUsageAppServerClient::Inspector inspect;
};

// Absent when this build has no adapter for the profile's application.
std::optional<CodexUsageInstallation> inspectCodexForUsage(const AppProfile& profile,
                                                           const LaunchAdapterContext& context);

// "Codex limits reset: 5h window, 99% remaining": the journal's detail.
std::string codexUsageResetText(const CodexUsageResetWindow& window);

class HostUsageMonitors : public HostRunService {
 public:
  // The route the host proved for a profile's sidecar (`unavailable` when
  // it has none it can prove).
  using SidecarRoute = SidecarRouteLookup;

  HostUsageMonitors(LaunchAdapterContext context, double refreshInterval, SidecarRoute sidecar);
  // Stops every monitor and waits for their children to be reaped.
  ~HostUsageMonitors() override;
  HostUsageMonitors(const HostUsageMonitors&) = delete;
  HostUsageMonitors& operator=(const HostUsageMonitors&) = delete;

  void runStarted(const ProfilePaths& paths, const ProcessSnapshot& run) override;
  void runEnded(const ProfilePaths& paths, const ProcessSnapshot& run) override;
  void describe(const Uuid& profileID, HostedProfileStatus& status) override;

 private:
  struct Monitor;
  void watch(Monitor& monitor);
  bool readEvents(Monitor& monitor);
  // Asks the monitor to stop and keeps it until its thread has ended; the
  // caller holds the lock.
  void retire(std::unique_ptr<Monitor> monitor);
  void reapRetired();

  LaunchAdapterContext context_;
  double refreshInterval_;
  SidecarRoute sidecar_;

  std::mutex lock_;
  std::condition_variable changed_;
  std::map<Uuid, std::unique_ptr<Monitor>> active_;
  std::vector<std::unique_ptr<Monitor>> retired_;  // stopping on their own threads
  CodexUsageResetDetector detector_;
};

}  // namespace korvelin
