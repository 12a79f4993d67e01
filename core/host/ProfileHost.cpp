#include "core/host/ProfileHost.h"

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/activity/ProfileRuntimeObserver.h"
#include "core/apps/ClaudeBrowserBridge.h"
#include "core/apps/ManagedApplicationSupport.h"
#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/host/HostControlSocket.h"
#include "core/platform/ProcessInfo.h"
#include "core/process/LaunchLease.h"
#include "core/process/LaunchLeaseFile.h"
#include "core/profile/ProfileEnvironment.h"
#include "core/profile/ProfileRepository.h"
#include "core/proxy/VLESSConnection.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStopPoll = 20ms;
constexpr auto kSidecarStopWait = 5s;
constexpr double kProxyLossStopTimeout = 10;
// How long a sidecar's measured health stands before `ps` probes again.
constexpr double kHealthInterval = 30;
// A client following a run that reads nothing holds up its stop no longer.
constexpr auto kWaiterWriteLimit = 2s;

// Observes without starting or probing anything: only the listener check.
XraySidecarSupervisor observingSidecars() {
  return XraySidecarSupervisor(nullptr, nullptr, &XraySidecarSupervisor::lsofListenerVerifier,
                               nullptr);
}

// The program a lease recorded, when it recorded its identity.
std::optional<std::string> leaseExecutable(const ProfilePaths& paths) {
  try {
    const auto root = SecureFileSystem::openManagedRootFD(paths);
    const auto error =
        ErrorFactory::always(KorvelinCoreError::profileRecoveryRequired(paths.profileID()));
    const auto lease = parseDurableProcessLease(readLaunchLease(root.get(), error, error).bytes);
    if (lease && lease->identity)
      return lease->identity->executable;
  } catch (const KorvelinCoreError&) {
  }
  return std::nullopt;
}

// Tells the requester of a stop, then every client following the run.
void reportStep(const ProfileHost::Progress& progress,
                const std::vector<platform::ScopedFD>& waiters,
                ProfileLaunchStep step,
                std::string detail) {
  const ProfileLaunchProgress line{step, std::move(detail)};
  if (progress)
    progress(line);
  const auto json = hostStepLine(line);
  for (const auto& waiter : waiters)
    writeHostLine(waiter.get(), json, kWaiterWriteLimit);
}

// A group that cannot be listed is not known to be empty.
bool groupIsEmpty(std::int32_t group) {
  const auto members = platform::groupMembers(group);
  return members && members->empty();
}

}  // namespace

struct ProfileHost::Slot {
  bool busy = false;
  // The run, started here or re-adopted (then `adoptedRoot` is set).
  std::optional<ProcessSnapshot> run;
  std::optional<LiveProcessIdentity> adoptedRoot;
  ProfileUsageRoute route;
  std::vector<platform::ScopedFD> waiters;
  // The sidecar, started here, or re-adopted (then only `adoptedProxy`).
  std::shared_ptr<XraySidecarSupervisor> sidecar;
  std::optional<XraySidecarHandle> handle;
  std::optional<RestoredProxyObservation> adoptedProxy;
  // A launch of a catalogued profile: its proxy's health decides whether
  // it may go on.
  std::optional<ProfileLaunch> launch;
  std::chrono::steady_clock::time_point lastProxyCheck;
  // Why the profile is blocked, or what re-adoption found.
  std::string note;
  bool blocked = false;

  bool empty() const { return !busy && !run && !handle && !adoptedProxy && !blocked; }
};

// Exclusive use of one profile's slot: taken under the lock, the work done
// outside it, released (and an empty slot dropped) under the lock again.
class ProfileHost::Claim {
 public:
  Claim(ProfileHost& host, Uuid id, Slot& slot) : host_(&host), id_(id), slot_(&slot) {}
  Claim(Claim&& other) noexcept
      : host_(std::exchange(other.host_, nullptr)), id_(other.id_), slot_(other.slot_) {}
  Claim& operator=(Claim&&) = delete;
  ~Claim() {
    if (!host_)
      return;
    std::lock_guard guard(host_->lock_);
    slot_->busy = false;
    if (slot_->empty())
      host_->slots_.erase(id_);
    host_->released_.notify_all();
  }
  Slot& slot() { return *slot_; }

 private:
  ProfileHost* host_;
  Uuid id_;
  Slot* slot_;
};

void to_json(nlohmann::json& json, const HostedProfileStatus& status) {
  json = {{"profileID", status.profileID.uppercaseString()},
          {"adopted", status.adopted},
          {"route", status.route},
          {"proxy", status.proxy},
          {"note", status.note}};
  json["run"] = status.run ? nlohmann::json(*status.run) : nlohmann::json(nullptr);
  json["proxyPort"] =
      status.proxyPort ? nlohmann::json(*status.proxyPort) : nlohmann::json(nullptr);
  json["usage"] = status.usage ? nlohmann::json(*status.usage) : nlohmann::json(nullptr);
}

std::optional<AppProfile> catalogedCodexProfile(const std::string& baseDirectory,
                                                const std::string& defaultBaseDirectory,
                                                const Uuid& profileID) {
  for (auto& profile : ProfileRepository(baseDirectory, defaultBaseDirectory).load().profiles)
    if (profile.id == profileID)
      return profile.adapterIdentifier == ManagedApplicationSupport::codexAdapterIdentifier
                 ? std::optional(std::move(profile))
                 : std::nullopt;
  return std::nullopt;
}

std::optional<std::optional<ProfileProxyConfiguration>> hostedServiceRoute(
    const AppProfile& profile,
    const SidecarRouteLookup& sidecarRoute) {
  if (!profile.proxyConnectionID)
    return profile.proxy;
  const auto sidecar = sidecarRoute(profile.id);
  if (sidecar.kind() != ProfileUsageRoute::Kind::proxy || !sidecar.generation() ||
      !sidecar.configuration())
    return std::nullopt;
  return sidecar.configuration();
}

nlohmann::json hostStepLine(const ProfileLaunchProgress& step) {
  return {{"event", "step"}, {"step", rawValue(step.step)}, {"detail", step.detail}};
}

ProfileHost::ProfileHost(std::string baseDirectory,
                         std::string defaultBaseDirectory,
                         SidecarFactory sidecars)
    : base_(standardizedPath(baseDirectory)),
      defaultBase_(std::move(defaultBaseDirectory)),
      sidecars_(std::move(sidecars)) {}

ProfileHost::~ProfileHost() {
  // A browser bridge still listening (a run left running) is released
  // first: its links in flight report to the slots.
  std::vector<std::shared_ptr<ClaudeBrowserBridge>> bridges;
  {
    std::lock_guard guard(lock_);
    for (auto& [id, slot] : slots_)
      if (slot->launch && slot->launch->browserBridge)
        bridges.push_back(std::move(slot->launch->browserBridge));
  }
  bridges.clear();
}

void ProfileHost::addRunService(std::shared_ptr<HostRunService> service) {
  std::lock_guard guard(lock_);
  services_.push_back(std::move(service));
}

ProfilePaths ProfileHost::pathsOf(const Uuid& profileID) const {
  return ProfilePaths(profileID, base_);
}

ProfileHost::Claim ProfileHost::claim(const Uuid& profileID, bool create) {
  std::unique_lock guard(lock_);
  for (;;) {
    auto it = slots_.find(profileID);
    if (it == slots_.end()) {
      if (!create)
        throw KorvelinCoreError::notRunning(profileID);
      it = slots_.emplace(profileID, std::make_unique<Slot>()).first;
    }
    if (!it->second->busy) {
      it->second->busy = true;
      return Claim(*this, profileID, *it->second);
    }
    released_.wait(guard);
  }
}

std::optional<ProfileHost::Claim> ProfileHost::tryClaim(const Uuid& profileID) {
  std::lock_guard guard(lock_);
  auto it = slots_.find(profileID);
  if (it == slots_.end() || it->second->busy)
    return std::nullopt;
  it->second->busy = true;
  return Claim(*this, profileID, *it->second);
}

void ProfileHost::forEachService(const std::function<void(HostRunService&)>& call) {
  std::vector<std::shared_ptr<HostRunService>> services;
  {
    std::lock_guard guard(lock_);
    services = services_;
  }
  for (auto& service : services) {
    try {
      call(*service);
    } catch (...) {
    }
  }
}

void ProfileHost::journal(const Uuid& profileID,
                          ProfileActivityKind kind,
                          const std::string& detail) {
  try {
    ProfileActivityEvent event;
    event.profileID = profileID;
    event.kind = kind;
    event.detail = detail;
    journal_.append(event, pathsOf(profileID));
  } catch (const KorvelinCoreError&) {
    // The journal records; it never decides whether a profile runs.
  }
}

std::optional<Uuid> ProfileHost::connectionOf(const Uuid& profileID,
                                              const ProfilePaths& paths) const {
  try {
    for (const auto& profile : ProfileRepository(base_, defaultBase_).load().profiles)
      if (profile.id == profileID && profile.proxyConnectionID)
        return profile.proxyConnectionID;
  } catch (const KorvelinCoreError&) {
  }
  // A profile outside the catalogue is served by the connection its record
  // names.
  try {
    return XrayDurableStateStore().readOnly(paths).connectionID;
  } catch (const KorvelinCoreError&) {
    return std::nullopt;
  }
}

std::vector<std::pair<Uuid, std::string>> ProfileHost::adoptLeftovers() {
  std::vector<std::pair<Uuid, std::string>> found;
  std::error_code error;
  std::vector<Uuid> candidates;
  for (const auto& entry :
       std::filesystem::directory_iterator(appendingPathComponent(base_, "Profiles"), error)) {
    const auto name = entry.path().filename().string();
    const auto id = Uuid::parse(name);
    if (id && name == id->lowercaseString())
      candidates.push_back(*id);
  }
  std::sort(candidates.begin(), candidates.end());
  for (const auto& id : candidates) {
    auto held = claim(id, true);
    std::string note;
    adopt(id, held.slot(), note);
    if (!note.empty())
      found.emplace_back(id, note);
  }
  return found;
}

void ProfileHost::adopt(const Uuid& profileID, Slot& slot, std::string& note) {
  const ProfilePaths paths = pathsOf(profileID);
  const bool lease = SecureFileSystem::metadata(paths.leaseFile()).has_value();
  auto sidecars = observingSidecars();
  bool record = false;
  try {
    record = XrayDurableStateStore().readOnly(paths).status == XrayDurableState::Status::active;
  } catch (const KorvelinCoreError&) {
  }
  if (!lease && !record)
    return;

  std::optional<ProfileRuntimeObservation> observation;
  if (lease) {
    std::string reason = "the lease records no process identity";
    try {
      if (const auto executable = leaseExecutable(paths))
        observation = ProfileRuntimeObserver().observeWithRoute(paths, *executable, &reason);
    } catch (const KorvelinCoreError& e) {
      if (e.errorCase() != KorvelinCoreError::Case::profileRecoveryRequired)
        reason = e.errorDescription();
    }
    if (observation) {
      note = "re-adopted run " + observation->snapshot.runID.uppercaseString() + " (pid " +
             std::to_string(observation->snapshot.rootPID) + ")";
    } else {
      try {
        supervisor_.recoverStaleLease(profileID, paths);
        note = "its run had ended; the launch lease was recovered";
      } catch (const KorvelinCoreError&) {
        note = "requires recovery: " + reason;
      }
    }
  }

  std::optional<RestoredProxyObservation> proxy;
  std::string proxyNote;
  if (record && observation) {
    if (const auto connection = connectionOf(profileID, paths))
      proxy = sidecars.observeRestoredProxyRoute(paths, *connection, observation->snapshot,
                                                 observation->rootIdentity);
    if (proxy && proxy->status == RestoredProxyStatus::available) {
      proxyNote = "its sidecar serves " + proxy->usageRoute.description();
      journal(profileID, ProfileActivityKind::proxyConnectionAvailable,
              "Re-adopted after a host restart");
    } else {
      // Kept as it is: the application may still be using it, and stopping
      // it here would only take its route away. Stopping the profile clears it.
      proxyNote = "its sidecar could not be proved (" +
                  std::string(rawValue(proxy ? proxy->status : RestoredProxyStatus::unverified)) +
                  ")";
      if (!proxy)
        proxy = RestoredProxyObservation{RestoredProxyStatus::unverified, {}, {}, {}};
      journal(profileID, ProfileActivityKind::proxyUnavailableWhileRunning,
              "The proxy could not be proved after a host restart");
    }
  } else if (record) {
    try {
      sidecars.recover(profileID, paths);
      proxyNote = "a sidecar left without its application was stopped";
    } catch (const KorvelinCoreError&) {
      proxyNote = "its sidecar requires recovery (korvelin proxy recover)";
      slot.blocked = true;
    }
  }
  if (!proxyNote.empty())
    note += (note.empty() ? "" : "; ") + proxyNote;

  if (observation) {
    {
      std::lock_guard guard(lock_);
      slot.adoptedProxy = proxy;
    }
    forEachService(
        [&](HostRunService& service) { service.runStarted(paths, observation->snapshot); });
  }
  std::lock_guard guard(lock_);
  if (observation) {
    slot.run = observation->snapshot;
    slot.adoptedRoot = observation->rootIdentity;
    slot.route = observation->usageRoute;
  } else if (lease && note.starts_with("requires recovery")) {
    slot.blocked = true;
  }
  slot.note = note;
}

ProcessSnapshot ProfileHost::run(const HostRequest& request,
                                 const StartedCallback& started,
                                 platform::ScopedFD waiter) {
  const Uuid& id = request.profileID;
  {
    std::lock_guard guard(lock_);
    if (stopping_)
      throw KorvelinCoreError::profilePreparationFailed("the host is stopping");
  }
  auto held = claim(id, true);
  Slot& slot = held.slot();
  if (slot.run)
    throw KorvelinCoreError::alreadyRunning(id);
  if (slot.blocked)
    throw KorvelinCoreError::profileRecoveryRequired(id);
  std::vector<ProfileEnvironmentVariable> variables;
  for (const auto& [name, value] : request.environment)
    variables.push_back({name, value});
  auto overrides = ProfileEnvironment::dictionary(variables);  // refuses managed names

  const ProfilePaths paths = pathsOf(id);
  ProfilePreparer(defaultBase_).prepare(paths);
  // The program's own home, configuration and cache live in the profile.
  overrides["HOME"] = paths.home();
  overrides["XDG_CONFIG_HOME"] = paths.config();
  overrides["XDG_CACHE_HOME"] = paths.cache();
  ProcessLaunchPlan plan{request.program, request.arguments, overrides, paths, std::nullopt};
  const auto snapshot = supervisor_.start(id, plan, nullptr, nullptr);

  std::string note;
  if (slot.handle) {
    // Attached, the sidecar outlives the host for as long as the run lives.
    try {
      slot.sidecar->attach(id, snapshot);
    } catch (const KorvelinCoreError&) {
      note = "the sidecar could not be attached: it ends with this host";
    }
  }
  forEachService([&](HostRunService& service) { service.runStarted(paths, snapshot); });
  {
    std::lock_guard guard(lock_);
    slot.run = snapshot;
    slot.route = ProfileUsageRoute::observed(request.arguments);
    slot.note = note;
    if (waiter)
      slot.waiters.push_back(std::move(waiter));
  }
  // Only now is the client told: a `ps` it runs next must list the run.
  if (started)
    started(snapshot);
  return snapshot;
}

ProfileLaunch ProfileHost::launch(const HostRequest& request,
                                  const Progress& progress,
                                  const std::function<void(const ProfileLaunch&)>& started,
                                  platform::ScopedFD waiter) {
  const Uuid& id = request.profileID;
  {
    std::lock_guard guard(lock_);
    if (stopping_)
      throw KorvelinCoreError::profilePreparationFailed("the host is stopping");
  }
  auto held = claim(id, true);
  Slot& slot = held.slot();
  if (slot.run || slot.handle || slot.adoptedProxy)
    throw KorvelinCoreError::alreadyRunning(id);
  if (slot.blocked)
    throw KorvelinCoreError::profileRecoveryRequired(id);
  std::shared_ptr<XraySidecarSupervisor> sidecar =
      sidecars_({request.engine, request.guardian, request.probeURL});
  // From here on the run is the host's like any other: stopping it, its end
  // and its sidecar take the same paths. What becomes of the links a Claude
  // profile opens is told to the clients waiting for its run.
  ProfileLauncher launcher(base_, defaultBase_, supervisor_, *sidecar);
  launcher.setBrowserShim(request.browserShim);
  launcher.setBrowserLinkReport(
      [this, id](const ProfileLaunchProgress& step) { tellWaiters(id, hostStepLine(step)); });
  const auto launched = launcher.launch(id, progress);
  const ProfilePaths paths = pathsOf(id);
  if (launched.sidecar) {
    std::lock_guard guard(lock_);
    slot.sidecar = std::move(sidecar);
    slot.handle = launched.sidecar;
  }
  forEachService([&](HostRunService& service) { service.runStarted(paths, launched.run); });
  {
    std::lock_guard guard(lock_);
    slot.run = launched.run;
    slot.route = launched.route ? ProfileUsageRoute::proxy(
                                      *launched.route,
                                      launched.sidecar ? std::optional(launched.sidecar->generation)
                                                       : std::nullopt)
                                : ProfileUsageRoute::system();
    slot.note = launched.continuityWarning.value_or("");
    slot.launch = launched;
    if (waiter)
      slot.waiters.push_back(std::move(waiter));
  }
  if (started)
    started(launched);
  return launched;
}

bool ProfileHost::proxyRequiresStop(Slot& slot) {
  // A lost proxy stops a launched profile unless it allows the system route
  // (the launcher journals the change); checked at most once a second.
  const auto now = Clock::now();
  if (!slot.launch || !slot.sidecar || now - slot.lastProxyCheck < 1s)
    return false;
  slot.lastProxyCheck = now;
  ProfileLaunch launch = *slot.launch;
  const auto verdict = ProfileLauncher(base_, defaultBase_, supervisor_, *slot.sidecar)
                           .checkProxy(launch, kHealthInterval);
  std::lock_guard guard(lock_);
  slot.launch = launch;
  if (verdict == ProxyVerdict::unavailableKeptOpen)
    slot.note = "the proxy is unavailable; the profile allows the system route";
  return verdict == ProxyVerdict::unavailableMustStop;
}

void ProfileHost::stopRun(Slot& slot,
                          const Uuid& profileID,
                          double timeout,
                          const Progress& progress) {
  const std::string runID = slot.run->runID.uppercaseString();
  reportStep(progress, slot.waiters, ProfileLaunchStep::stopRequested, runID);
  if (!slot.adoptedRoot) {
    supervisor_.stop(profileID, pathsOf(profileID), timeout);
    reportStep(progress, slot.waiters, ProfileLaunchStep::applicationStopped, runID);
    return;
  }
  // A re-adopted run is not our child: its group is asked to stop the same
  // way, and it has stopped once the root is gone (or a zombie nobody here
  // can collect) and the group is empty. The group is signalled only while
  // the root is still the process the lease named, or while the group still
  // has members (its identifier cannot be reused before they are gone).
  if (!(timeout > 0))
    throw KorvelinCoreError::invalidStopTimeout();
  const auto& root = *slot.adoptedRoot;
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
  SystemProcessSignaler signaler;
  for (;;) {
    const bool rootGone = processHasExited(root.pid) || !root.isCurrent();
    const bool empty = groupIsEmpty(root.group);
    if (rootGone && empty) {
      reportStep(progress, slot.waiters, ProfileLaunchStep::applicationStopped, runID);
      return;
    }
    if (root.isCurrent() || !empty)
      signaler.signalGroup(root.group, SIGTERM);
    if (Clock::now() >= deadline)
      throw KorvelinCoreError::stopTimedOut(profileID);
    std::this_thread::sleep_for(kStopPoll);
  }
}

ProcessSnapshot ProfileHost::finish(Slot& slot,
                                    const Uuid& profileID,
                                    double recoveryWait,
                                    const Progress& progress) {
  const ProfilePaths paths = pathsOf(profileID);
  ProcessSnapshot ended = *slot.run;
  if (!slot.adoptedRoot) {
    ended = supervisor_.confirmCompletion(profileID, ended.runID, paths);
  } else {
    // The lease of a re-adopted run goes once its process is provably gone;
    // a root that is still a zombie waits for its parent to collect it.
    const auto deadline = Clock::now() + std::chrono::duration<double>(recoveryWait);
    for (;;) {
      try {
        supervisor_.recoverStaleLease(profileID, paths);
        break;
      } catch (const KorvelinCoreError&) {
        if (Clock::now() >= deadline) {
          std::lock_guard guard(lock_);
          slot.run->state = ProcessRunState::managedGroupStoppedAwaitingConfirmation;
          slot.note = "stopped; its launch lease is removed once the process is collected";
          return *slot.run;
        }
      }
      std::this_thread::sleep_for(kStopPoll);
    }
    ended.state = ProcessRunState::stoppedConfirmed;
  }
  reportStep(progress, slot.waiters, ProfileLaunchStep::completionConfirmed,
             ended.runID.uppercaseString());
  // The run's browser bridge stops listening now; it is released (waiting
  // for a link in flight) once the run is finished.
  std::shared_ptr<ClaudeBrowserBridge> bridge;
  {
    std::lock_guard guard(lock_);
    if (slot.launch)
      bridge = std::move(slot.launch->browserBridge);
  }
  if (bridge)
    bridge->stop();
  forEachService([&](HostRunService& service) { service.runEnded(paths, ended); });
  std::vector<platform::ScopedFD> waiters;
  {
    std::lock_guard guard(lock_);
    waiters = std::move(slot.waiters);
    slot.waiters.clear();
    slot.run.reset();
    slot.launch.reset();
    slot.adoptedRoot.reset();
    slot.route = ProfileUsageRoute();
    slot.note.clear();
  }
  // The clients following the run learn its end once its sidecar is gone
  // too, as they would from a launch they supervised themselves.
  if (const auto stopped = stopSidecar(slot, profileID))
    reportStep(progress, waiters, ProfileLaunchStep::sidecarStopped, *stopped);
  nlohmann::json line{{"event", "completed"}, {"run", ended}};
  for (auto& waiter : waiters)
    writeHostLine(waiter.get(), line, kWaiterWriteLimit);
  return ended;
}

void ProfileHost::tellWaiters(const Uuid& profileID, const nlohmann::json& line) {
  std::vector<platform::ScopedFD> copies;
  {
    std::lock_guard guard(lock_);
    const auto it = slots_.find(profileID);
    if (it == slots_.end())
      return;
    for (const auto& waiter : it->second->waiters)
      copies.emplace_back(::fcntl(waiter.get(), F_DUPFD_CLOEXEC, 0));
  }
  for (const auto& copy : copies)
    if (copy)
      writeHostLine(copy.get(), line, kWaiterWriteLimit);
}

std::optional<std::string> ProfileHost::stopSidecar(Slot& slot, const Uuid& profileID) {
  const ProfilePaths paths = pathsOf(profileID);
  std::shared_ptr<XraySidecarSupervisor> sidecar;
  std::optional<Uuid> generation;
  bool adopted = false;
  {
    std::lock_guard guard(lock_);
    sidecar = slot.sidecar;
    if (slot.handle)
      generation = slot.handle->generation;
    else if (slot.adoptedProxy)
      generation = slot.adoptedProxy->usageRoute.generation();
    adopted = slot.adoptedProxy.has_value();
  }
  if (!sidecar && !adopted)
    return std::nullopt;
  // A guardian whose application just ended is stopping on its own: asked
  // in that moment it may not answer, so the stop is tried again until it is
  // gone and its record can be cleared.
  std::string problem;
  const auto deadline = Clock::now() + kSidecarStopWait;
  for (bool first = true;; first = false) {
    try {
      if (sidecar && generation && first)
        sidecar->stopAndWait(profileID, generation, paths);
      else
        observingSidecars().recover(profileID, paths);
      problem.clear();
      break;
    } catch (const KorvelinCoreError& e) {
      problem = "its sidecar requires recovery (korvelin proxy recover): " + e.errorDescription();
    }
    if (Clock::now() >= deadline || !observingSidecars().hasDurableSidecar(profileID, paths))
      break;
    std::this_thread::sleep_for(100ms);
  }
  if (!observingSidecars().hasDurableSidecar(profileID, paths))
    problem.clear();
  std::lock_guard guard(lock_);
  slot.sidecar.reset();
  slot.handle.reset();
  slot.adoptedProxy.reset();
  if (!problem.empty()) {
    slot.blocked = true;
    slot.note = problem;
    return std::nullopt;
  }
  return generation ? generation->uppercaseString() : "";
}

ProcessSnapshot ProfileHost::stop(const Uuid& profileID, double timeout, const Progress& progress) {
  if (!(timeout > 0))
    throw KorvelinCoreError::invalidStopTimeout();
  auto held = claim(profileID, false);
  Slot& slot = held.slot();
  if (!slot.run)
    throw KorvelinCoreError::notRunning(profileID);
  const auto begun = Clock::now();
  if (slot.run->state != ProcessRunState::managedGroupStoppedAwaitingConfirmation)
    stopRun(slot, profileID, timeout, progress);
  const double left = timeout - std::chrono::duration<double>(Clock::now() - begun).count();
  return finish(slot, profileID, std::max(left, 0.0), progress);
}

XraySidecarHandle ProfileHost::startProxy(const HostRequest& request) {
  const Uuid& id = request.profileID;
  {
    std::lock_guard guard(lock_);
    if (stopping_)
      throw KorvelinCoreError::profilePreparationFailed("the host is stopping");
  }
  const VLESSRealityConfiguration configuration(request.link);
  auto held = claim(id, true);
  Slot& slot = held.slot();
  if (slot.handle || slot.adoptedProxy)
    throw KorvelinCoreError::alreadyRunning(id);
  if (slot.blocked)
    throw KorvelinCoreError::profileRecoveryRequired(id);
  const ProfilePaths paths = pathsOf(id);
  ProfilePreparer(defaultBase_).prepare(paths);
  std::shared_ptr<XraySidecarSupervisor> sidecar =
      sidecars_({request.engine, request.guardian, request.probeURL});
  sidecar->initializeManagedProfile(paths);
  const auto handle =
      sidecar->start(id, request.connectionID.value_or(Uuid::random()), configuration, paths);
  std::string note;
  if (slot.run && !slot.adoptedRoot) {
    try {
      sidecar->attach(id, *slot.run);
    } catch (const KorvelinCoreError&) {
      note = "the sidecar could not be attached: it ends with this host";
    }
  }
  journal(id, ProfileActivityKind::proxyConnectionAvailable, handle.localProxy().uri());
  std::lock_guard guard(lock_);
  slot.sidecar = std::move(sidecar);
  slot.handle = handle;
  if (!note.empty())
    slot.note = note;
  return handle;
}

void ProfileHost::stopProxy(const Uuid& profileID) {
  auto held = claim(profileID, true);
  Slot& slot = held.slot();
  if (!slot.handle && !slot.adoptedProxy) {
    // A sidecar another host left: recovered as `proxy recover` would.
    const ProfilePaths paths = pathsOf(profileID);
    auto sidecars = observingSidecars();
    if (sidecars.hasDurableSidecar(profileID, paths))
      sidecars.recover(profileID, paths);
    return;
  }
  stopSidecar(slot, profileID);
  std::lock_guard guard(lock_);
  if (slot.blocked)
    throw KorvelinCoreError::profileRecoveryRequired(profileID);
}

std::vector<HostedProfileStatus> ProfileHost::list() {
  struct Row {
    HostedProfileStatus status;
    std::shared_ptr<XraySidecarSupervisor> sidecar;
  };
  std::vector<Row> rows;
  {
    std::lock_guard guard(lock_);
    for (const auto& [id, slot] : slots_) {
      if (!slot->run && !slot->handle && !slot->adoptedProxy && !slot->blocked)
        continue;
      Row row;
      row.status.profileID = id;
      row.status.run = slot->run;
      row.status.adopted = slot->adoptedRoot.has_value();
      row.status.route = slot->run ? slot->route.description() : "";
      row.status.note = slot->note;
      if (slot->handle) {
        row.sidecar = slot->sidecar;
        row.status.proxyPort = slot->handle->loopbackPort;
      } else if (slot->adoptedProxy) {
        row.status.proxy = rawValue(slot->adoptedProxy->status);
        if (const auto& configuration = slot->adoptedProxy->usageRoute.configuration())
          row.status.proxyPort = configuration->port;
      }
      rows.push_back(std::move(row));
    }
  }
  std::vector<HostedProfileStatus> result;
  for (auto& row : rows) {
    if (row.sidecar) {
      const auto health = row.sidecar->runtimeHealth(row.status.profileID, kHealthInterval);
      row.status.proxy = !health                        ? "unavailable"
                         : health->isAvailable()        ? "available"
                         : health->isRecoveryRequired() ? "recoveryRequired"
                                                        : "unavailable";
    }
    forEachService(
        [&](HostRunService& service) { service.describe(row.status.profileID, row.status); });
    result.push_back(std::move(row.status));
  }
  return result;
}

ProfileUsageRoute ProfileHost::sidecarRoute(const Uuid& profileID) {
  std::lock_guard guard(lock_);
  auto it = slots_.find(profileID);
  if (it == slots_.end())
    return ProfileUsageRoute::unavailable();
  const Slot& slot = *it->second;
  if (slot.handle)
    return ProfileUsageRoute::proxy(slot.handle->localProxy(), slot.handle->generation);
  if (slot.adoptedProxy && slot.adoptedProxy->status == RestoredProxyStatus::available)
    return slot.adoptedProxy->usageRoute;
  return ProfileUsageRoute::unavailable();
}

void ProfileHost::poll() {
  std::vector<Uuid> ids;
  {
    std::lock_guard guard(lock_);
    for (const auto& [id, slot] : slots_)
      if (slot->run && !slot->busy)
        ids.push_back(id);
  }
  for (const auto& id : ids) {
    auto held = tryClaim(id);
    if (!held)
      continue;
    Slot& slot = held->slot();
    if (!slot.run)
      continue;
    try {
      bool ended = slot.run->state == ProcessRunState::managedGroupStoppedAwaitingConfirmation;
      if (!ended && slot.adoptedRoot) {
        const auto& root = *slot.adoptedRoot;
        ended = (processHasExited(root.pid) || !root.isCurrent()) && groupIsEmpty(root.group);
      } else if (!ended) {
        const auto current = supervisor_.status(id, pathsOf(id));
        if (current) {
          std::lock_guard guard(lock_);
          slot.run = *current;
          ended = current->state == ProcessRunState::managedGroupStoppedAwaitingConfirmation;
        }
      }
      if (!ended && proxyRequiresStop(slot)) {
        stopRun(slot, id, kProxyLossStopTimeout, nullptr);
        ended = true;
      }
      if (ended)
        finish(slot, id, 0, nullptr);
    } catch (const KorvelinCoreError& e) {
      std::lock_guard guard(lock_);
      slot.note = e.errorDescription();
    }
  }
}

std::vector<std::pair<Uuid, std::string>> ProfileHost::shutdown(double budget) {
  std::vector<std::pair<double, Uuid>> order;
  std::vector<Uuid> all;
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
    for (const auto& [id, slot] : slots_) {
      all.push_back(id);
      if (slot->run)
        order.emplace_back(slot->run->startedAt, id);
    }
  }
  std::sort(order.begin(), order.end());
  const auto deadline = Clock::now() + std::chrono::duration<double>(budget);
  std::vector<std::pair<Uuid, std::string>> report;
  std::vector<Uuid> stillRunning;
  for (const auto& [startedAt, id] : order) {
    // Every profile gets at least a moment, even when an earlier one used up
    // the budget.
    const double left =
        std::max(0.5, std::chrono::duration<double>(deadline - Clock::now()).count());
    try {
      stop(id, left);
      report.emplace_back(id, "stopped");
    } catch (const KorvelinCoreError& e) {
      stillRunning.push_back(id);
      report.emplace_back(id, "left running for the next host: " + e.errorDescription());
    } catch (...) {
      stillRunning.push_back(id);
    }
  }
  // Then the sidecars whose application is gone; one still serving an
  // application that did not stop is left attached to it.
  for (const auto& id : all) {
    if (std::find(stillRunning.begin(), stillRunning.end(), id) != stillRunning.end())
      continue;
    bool hasSidecar = false;
    {
      std::lock_guard guard(lock_);
      auto it = slots_.find(id);
      hasSidecar = it != slots_.end() && (it->second->handle || it->second->adoptedProxy);
    }
    if (!hasSidecar)
      continue;
    try {
      stopProxy(id);
      report.emplace_back(id, "sidecar stopped");
    } catch (const KorvelinCoreError& e) {
      report.emplace_back(id, e.errorDescription());
    }
  }
  return report;
}

bool ProfileHost::idle() {
  std::lock_guard guard(lock_);
  return slots_.empty();
}

}  // namespace korvelin
