#include "core/host/HostUsageMonitors.h"

#include <set>

#include "core/activity/ProfileActivityJournal.h"
#include "core/base/CoreError.h"

namespace korvelin {
namespace {

HostedUsage unavailableUsage(CodexUsageUnavailableReason reason) {
  return {HostedUsage::State::unavailable, std::nullopt, reason};
}

}  // namespace

std::optional<CodexUsageInstallation> inspectCodexForUsage(const AppProfile& profile,
                                                           const LaunchAdapterContext& context) {
  std::shared_ptr<const LaunchAdapter> adapter =
      makeLaunchAdapter(profile.adapterIdentifier, context);
  if (!adapter)
    return std::nullopt;
  return CodexUsageInstallation{adapter->inspect(profile.application.bundlePath),
                                [adapter](const CodexInstallation& recorded, const std::string&) {
                                  return adapter->inspect(recorded.bundlePath().value_or(""));
                                }};
}

std::string codexUsageResetText(const CodexUsageResetWindow& window) {
  return "Codex limits reset: " + windowDurationText(window.durationMinutes) + " window, " +
         std::to_string(window.remainingPercent) + "% remaining";
}

struct HostUsageMonitors::Monitor {
  Monitor(AppProfile profile, ProfilePaths paths) : profile(std::move(profile)), paths(paths) {}

  AppProfile profile;
  ProfilePaths paths;
  std::optional<ProfileProxyConfiguration> proxy;
  // Guarded by the monitors' lock.
  HostedUsage usage;
  bool stopping = false;
  bool done = false;
  CodexUsageEventStream* stream = nullptr;  // while one is read

  std::thread thread;
};

HostUsageMonitors::HostUsageMonitors(LaunchAdapterContext context,
                                     double refreshInterval,
                                     SidecarRoute sidecar)
    : context_(std::move(context)),
      refreshInterval_(refreshInterval),
      sidecar_(std::move(sidecar)) {}

HostUsageMonitors::~HostUsageMonitors() {
  {
    std::lock_guard guard(lock_);
    for (auto& [id, monitor] : active_)
      retire(std::move(monitor));
    active_.clear();
  }
  for (auto& monitor : retired_)
    if (monitor->thread.joinable())
      monitor->thread.join();
}

void HostUsageMonitors::runStarted(const ProfilePaths& paths, const ProcessSnapshot&) {
  reapRetired();
  const Uuid id = paths.profileID();
  const auto profile =
      catalogedCodexProfile(context_.baseDirectory, context_.defaultBaseDirectory, id);
  if (!profile)
    return;

  auto monitor = std::make_unique<Monitor>(*profile, paths);
  // Without a route the profile chose, no app-server is started.
  if (auto route = hostedServiceRoute(*profile, sidecar_)) {
    monitor->proxy = std::move(*route);
  } else {
    monitor->usage = unavailableUsage(CodexUsageUnavailableReason::routeUnverified);
    monitor->done = true;
  }
  std::lock_guard guard(lock_);
  if (auto it = active_.find(id); it != active_.end())
    retire(std::move(it->second));
  Monitor& started = *(active_[id] = std::move(monitor));
  if (!started.done)
    started.thread = std::thread([this, &started] { watch(started); });
}

void HostUsageMonitors::runEnded(const ProfilePaths& paths, const ProcessSnapshot&) {
  {
    std::lock_guard guard(lock_);
    auto it = active_.find(paths.profileID());
    if (it == active_.end())
      return;
    retire(std::move(it->second));
    active_.erase(it);
    std::set<Uuid> running;
    for (const auto& [id, _] : active_)
      running.insert(id);
    detector_.retainProfiles(running);
  }
  reapRetired();
}

void HostUsageMonitors::describe(const Uuid& profileID, HostedProfileStatus& status) {
  std::lock_guard guard(lock_);
  if (auto it = active_.find(profileID); it != active_.end())
    status.usage = it->second->usage;
}

void HostUsageMonitors::retire(std::unique_ptr<Monitor> monitor) {
  monitor->stopping = true;
  if (monitor->stream)
    monitor->stream->stop();
  changed_.notify_all();
  retired_.push_back(std::move(monitor));
}

void HostUsageMonitors::reapRetired() {
  std::vector<std::unique_ptr<Monitor>> finished;
  {
    std::lock_guard guard(lock_);
    for (auto it = retired_.begin(); it != retired_.end();) {
      if ((*it)->done) {
        finished.push_back(std::move(*it));
        it = retired_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& monitor : finished)
    if (monitor->thread.joinable())
      monitor->thread.join();
}

// Reads one app-server's life, and starts another a refresh interval after
// it ended, until the monitor is stopped. A new app-server starts from a new
// baseline: a reset is only ever seen between two answers of one child.
void HostUsageMonitors::watch(Monitor& monitor) {
  const Uuid id = monitor.paths.profileID();
  while (readEvents(monitor)) {
    std::unique_lock guard(lock_);
    detector_.invalidate(id);
    if (changed_.wait_for(guard, std::chrono::duration<double>(refreshInterval_),
                          [&] { return monitor.stopping; }))
      break;
  }
  std::lock_guard guard(lock_);
  monitor.done = true;
}

bool HostUsageMonitors::readEvents(Monitor& monitor) {
  const Uuid id = monitor.paths.profileID();
  std::unique_ptr<CodexUsageEventStream> stream;
  try {
    const auto source = inspectCodexForUsage(monitor.profile, context_);
    if (source)
      stream = CodexUsageAppServerClient(context_.defaultBaseDirectory, context_.baseDirectory,
                                         refreshInterval_, source->inspect)
                   .events(source->installation, monitor.paths, monitor.proxy);
  } catch (const KorvelinCoreError&) {
  }
  std::unique_lock guard(lock_);
  if (!stream) {
    monitor.usage = unavailableUsage(CodexUsageUnavailableReason::connectionFailed);
    return !monitor.stopping;
  }
  if (monitor.stopping)
    stream->stop();
  monitor.stream = stream.get();
  guard.unlock();

  while (const auto event = stream->next()) {
    std::vector<CodexUsageResetWindow> resets;
    guard.lock();
    switch (event->kind) {
      case CodexUsageMonitorEvent::Kind::snapshot:
        monitor.usage = {HostedUsage::State::available, event->snapshot, std::nullopt};
        resets = detector_.observe(*event->snapshot, id);
        break;
      case CodexUsageMonitorEvent::Kind::unavailable:
        monitor.usage = unavailableUsage(*event->reason);
        break;
      case CodexUsageMonitorEvent::Kind::disconnected:
        monitor.usage.state = HostedUsage::State::disconnected;
        monitor.usage.reason.reset();
        break;
    }
    guard.unlock();
    for (const auto& reset : resets) {
      try {
        ProfileActivityJournal().append({.profileID = id,
                                         .kind = ProfileActivityKind::codexUsageReset,
                                         .detail = codexUsageResetText(reset)},
                                        monitor.paths);
      } catch (const KorvelinCoreError&) {
        // The journal records; it never decides whether monitoring goes on.
      }
    }
  }
  guard.lock();
  monitor.stream = nullptr;
  guard.unlock();
  stream.reset();  // the app-server is reaped here, on this thread
  guard.lock();
  return !monitor.stopping;
}

}  // namespace korvelin
