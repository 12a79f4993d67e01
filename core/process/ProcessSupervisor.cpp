#include "core/process/ProcessSupervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <thread>

#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/files/PrivateFile.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"
#include "core/platform/StatTime.h"
#include "core/platform/SuspendedSpawn.h"
#include "core/process/LaunchEnvironment.h"
#include "core/process/LaunchLease.h"
#include "core/process/LaunchLeaseFile.h"
#include "core/profile/ProfilePaths.h"

extern char** environ;

namespace korvelin {

using platform::retryOnEintr;
using platform::ScopedFD;
using namespace std::chrono_literals;

namespace {

constexpr auto kStopPollInterval = 20ms;
constexpr int kAnchorAttempts = 5;
constexpr auto kAnchorRetryInterval = 1ms;
constexpr int kReapAttempts = 100;
constexpr auto kReapInterval = 10ms;
constexpr auto kRecoveryProbeInterval = 1ms;
constexpr std::string_view kLogsDirectoryName = "logs";

std::string leaseName() {
  return std::string(kLeaseFileName);
}

// fstatat without following a link; absent when the name does not exist.
std::optional<struct stat> metadataAt(int directory, const std::string& name) {
  struct stat info;
  if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
    return info;
  if (errno == ENOENT)
    return std::nullopt;
  throw KorvelinCoreError::unsafeProfilePath(failureDetail(errno, "fstatat", name));
}

bool sameFile(const struct stat& a, const FileIdentity& b) {
  return static_cast<std::uint64_t>(a.st_dev) == b.device &&
         static_cast<std::uint64_t>(a.st_ino) == b.inode;
}

void writeLine(int fd, const std::string& value) {
  if (!platform::writeFull(fd, value + "\n"))
    throw KorvelinCoreError::logCreationFailed(platform::errorText(errno));
}

std::map<std::string, std::string> processEnvironment() {
  std::map<std::string, std::string> result;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    auto equals = text.find('=');
    if (equals == std::string_view::npos)
      continue;
    result.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return result;
}

bool isProcessIdentityLost(const KorvelinCoreError& error) {
  return error.errorCase() == KorvelinCoreError::Case::processIdentityLost;
}

}  // namespace

// The supervisor's record of one run.
struct ProcessSupervisor::Entry {
  Uuid profileID;
  Uuid runID;
  std::int32_t rootPID = 0;
  std::int32_t processGroupID = 0;
  std::uint64_t rootStartSeconds = 0;
  std::uint64_t rootStartMicroseconds = 0;
  LiveProcessIdentity rootIdentity;
  double startedAt = 0;
  FileIdentity leaseIdentity;
  ScopedFD rootDirectoryFD;
  ScopedFD leaseFD;
  std::string logPath;
  std::optional<ApplicationTerminationIdentity> applicationTerminationIdentity;
  ScopedFD logFD;
  ProcessRunState state = ProcessRunState::running;
  bool rootReaped = false;
  std::optional<std::int32_t> exitCode;
  std::optional<std::int32_t> terminationSignal;

  ProcessSnapshot snapshot() const {
    ProcessSnapshot s;
    s.profileID = profileID;
    s.runID = runID;
    s.rootPID = rootPID;
    s.processGroupID = processGroupID;
    s.state = state;
    s.startedAt = startedAt;
    s.exitCode = exitCode;
    s.terminationSignal = terminationSignal;
    s.logPath = logPath;
    return s;
  }

  // Appends a launch-log event; throws logCreationFailed.
  void writeEvent(std::string_view event,
                  std::optional<std::int32_t> pid = std::nullopt,
                  std::optional<std::int32_t> exit = std::nullopt,
                  std::optional<std::int32_t> signal = std::nullopt) const {
    if (!logFD)
      throw KorvelinCoreError::logCreationFailed("launch log is closed");
    writeLine(logFD.get(),
              launchEventJSON(event, profileID, runID, currentUnixTime(), pid, exit, signal));
  }

  // For the events whose loss does not change what happened.
  void tryWriteEvent(std::string_view event,
                     std::optional<std::int32_t> pid = std::nullopt,
                     std::optional<std::int32_t> exit = std::nullopt,
                     std::optional<std::int32_t> signal = std::nullopt) const noexcept {
    try {
      writeEvent(event, pid, exit, signal);
    } catch (...) {
    }
  }
};

ProcessSupervisor::ProcessSupervisor(std::shared_ptr<ProcessRuntime> runtime,
                                     std::shared_ptr<ProcessSignaling> signaler,
                                     std::shared_ptr<ApplicationTerminating> applicationTerminator,
                                     RunIDGenerator runIDGenerator)
    : runtime_(runtime ? std::move(runtime) : std::make_shared<SystemProcessRuntime>()),
      signaler_(signaler ? std::move(signaler) : std::make_shared<SystemProcessSignaler>()),
      applicationTerminator_(applicationTerminator ? std::move(applicationTerminator)
                                                   : std::make_shared<RunningApplicationTerminator>(
                                                         makeSystemRunningApplicationResolver())),
      runIDGenerator_(runIDGenerator ? std::move(runIDGenerator) : [] { return Uuid::random(); }) {}

ProcessSupervisor::~ProcessSupervisor() {
  // Descriptors close with the entries; no process is signalled.
  std::lock_guard guard(lock_);
  entries_.clear();
}

namespace {

void requireProfile(const Uuid& profileID, const ProfilePaths& paths) {
  if (paths.profileID() != profileID)
    throw KorvelinCoreError::profileIdentifierMismatch();
}

// Whether a lease file exists in the profile's root, looked up without
// following links. A profile whose tree does not exist has no lease.
bool leaseExists(const ProfilePaths& paths) {
  if (!SecureFileSystem::metadata(paths.root()))
    return false;
  ScopedFD root = SecureFileSystem::openManagedRootFD(paths);
  return metadataAt(root.get(), leaseName()).has_value();
}

}  // namespace

// Kills a child that never ran (SIGKILL to `target`, a pid or a negated
// group) and reaps it; true once the reap is confirmed.
static bool killAndReapSuspended(ProcessSignaling& signaler,
                                 std::int32_t rootPID,
                                 std::optional<std::int32_t> group) {
  const int rc =
      group ? signaler.signalGroup(*group, SIGKILL) : signaler.signalProcess(rootPID, SIGKILL);
  if (rc != 0 && rc != ESRCH)
    return false;
  for (int attempt = 0; attempt < kReapAttempts; ++attempt) {
    int status;
    const pid_t done = ::waitpid(rootPID, &status, WNOHANG);
    if (done == rootPID)
      return true;
    if (done < 0 && errno == ECHILD)
      return true;
    if (done < 0 && errno == EINTR)
      continue;
    std::this_thread::sleep_for(kReapInterval);
  }
  return false;
}

// How far a start has got: the run being built, the profile root it lives
// under, and the suspended child once one exists.
struct ProcessSupervisor::StartAttempt {
  std::unique_ptr<Entry> entry;
  int rootFD = -1;
  std::optional<std::int32_t> child;
  bool childRecorded = false;  // its group is known, so the whole group is killed
};

ProcessSnapshot ProcessSupervisor::start(
    const Uuid& profileID,
    const ProcessLaunchPlan& plan,
    const BeforeSpawnCheck& validateBeforeSpawn,
    const SuspendedCheck& validateSuspended,
    const std::optional<std::map<std::string, std::string>>& hostEnvironment) {
  std::lock_guard guard(lock_);
  SecureFileSystem::VerifiedHierarchy tree = checkPlan(profileID, plan.paths);

  StartAttempt attempt;
  attempt.entry = std::make_unique<Entry>();
  Entry& entry = *attempt.entry;
  entry.profileID = profileID;
  entry.rootDirectoryFD = std::move(tree.root);
  attempt.rootFD = entry.rootDirectoryFD.get();
  const ScopedFD logsFD = std::move(tree.logs);

  createLease(attempt, plan);
  openLaunchLog(attempt, logsFD.get(), plan.paths);
  spawnSuspended(attempt, plan, validateBeforeSpawn, hostEnvironment);
  // The child exists, stopped before its first instruction. From here on a
  // failure that cannot prove the child gone leaves the lease in place.
  verifySuspended(attempt, validateSuspended);
  recordIdentity(attempt);
  resume(attempt);

  ProcessSnapshot snapshot = entry.snapshot();
  entries_[profileID] = std::move(attempt.entry);
  return snapshot;
}

SecureFileSystem::VerifiedHierarchy ProcessSupervisor::checkPlan(const Uuid& profileID,
                                                                 const ProfilePaths& paths) {
  requireProfile(profileID, paths);
  // One walk checks the base and the whole tree and hands on the root and
  // "logs": the lease and the launch log are reached only through them.
  SecureFileSystem::VerifiedHierarchy tree =
      SecureFileSystem::openVerifiedHierarchy(paths, SecureFileSystem::MissingDirectories::fail);
  if (auto existing = entries_.find(profileID); existing != entries_.end()) {
    if (existing->second->state != ProcessRunState::stoppedConfirmed)
      throw KorvelinCoreError::alreadyRunning(profileID);
    entries_.erase(existing);
  }
  return tree;
}

void ProcessSupervisor::createLease(StartAttempt& attempt, const ProcessLaunchPlan& plan) {
  Entry& entry = *attempt.entry;
  if (metadataAt(attempt.rootFD, leaseName()))
    throw KorvelinCoreError::profileRecoveryRequired(entry.profileID);

  entry.runID = runIDGenerator_();
  entry.startedAt = currentUnixTime();
  entry.applicationTerminationIdentity = plan.applicationTerminationIdentity;

  const auto leaseError =
      ErrorFactory::always(KorvelinCoreError::profileRecoveryRequired(entry.profileID));
  entry.leaseFD = PrivateFile::createExclusive(attempt.rootFD, leaseName(), O_WRONLY,
                                               plan.paths.leaseFile(), leaseError);
  struct stat info;
  if (::fstat(entry.leaseFD.get(), &info) != 0) {
    // Without its identity the lease cannot be told apart later: remove it now.
    entry.leaseFD.reset();
    ::unlinkat(attempt.rootFD, leaseName().c_str(), 0);
    throw KorvelinCoreError::profileRecoveryRequired(entry.profileID);
  }
  entry.leaseIdentity = FileIdentity::of(info);
}

void ProcessSupervisor::openLaunchLog(StartAttempt& attempt,
                                      int logsFD,
                                      const ProfilePaths& paths) {
  Entry& entry = *attempt.entry;
  const std::string logName = launchLogName(entry.runID);
  entry.logPath = appendingPathComponent(paths.logs(), logName);
  try {
    entry.logFD = PrivateFile::createExclusive(logsFD, logName, O_WRONLY, entry.logPath,
                                               &KorvelinCoreError::logCreationFailed);
    entry.writeEvent("launch_requested");
    writeLine(entry.leaseFD.get(), leaseJSON(entry.runID, entry.startedAt, std::nullopt,
                                             std::nullopt, "starting", std::nullopt));
    if (::fsync(entry.leaseFD.get()) != 0)
      throw KorvelinCoreError::profilePreparationFailed("could not persist launch lease: " +
                                                        platform::errorText(errno));
  } catch (...) {
    abandonStart(attempt, std::current_exception());
  }
}

void ProcessSupervisor::spawnSuspended(
    StartAttempt& attempt,
    const ProcessLaunchPlan& plan,
    const BeforeSpawnCheck& validateBeforeSpawn,
    const std::optional<std::map<std::string, std::string>>& hostEnvironment) {
  try {
    if (validateBeforeSpawn)
      validateBeforeSpawn();
    std::vector<std::string> environment;
    for (const auto& [key, value] : sanitizedEnvironment(
             hostEnvironment ? *hostEnvironment : processEnvironment(), plan.environmentOverrides))
      environment.push_back(key + "=" + value);
    auto spawned =
        platform::spawnSuspended({plan.executablePath, plan.arguments, std::move(environment)});
    if (spawned.pid < 0)
      throw KorvelinCoreError::processLaunchFailed(spawned.failure);
    attempt.child = spawned.pid;
  } catch (...) {
    attempt.entry->tryWriteEvent("launch_failed");
    abandonStart(attempt, std::current_exception());
  }
}

void ProcessSupervisor::verifySuspended(StartAttempt& attempt,
                                        const SuspendedCheck& validateSuspended) {
  Entry& entry = *attempt.entry;
  const std::int32_t pid = *attempt.child;
  auto record = runtime_->processRecord(pid);
  if (!record) {
    entry.tryWriteEvent("launch_identity_unverified", pid);
    abandonStart(attempt, nullptr);
  }
  entry.rootPID = pid;
  entry.processGroupID = pid;
  entry.rootStartSeconds = record->startSeconds;
  entry.rootStartMicroseconds = record->startMicroseconds;
  attempt.childRecorded = true;

  try {
    if (validateSuspended)
      validateSuspended(pid);
  } catch (...) {
    entry.tryWriteEvent("suspended_process_rejected", pid, std::nullopt, SIGKILL);
    abandonStart(attempt, std::current_exception(), true);
  }
}

void ProcessSupervisor::recordIdentity(StartAttempt& attempt) {
  Entry& entry = *attempt.entry;
  const std::int32_t pid = *attempt.child;
  auto identity = LiveProcessIdentity::capture(pid);
  bool persisted = false;
  if (identity) {
    try {
      writeLine(entry.leaseFD.get(),
                leaseJSON(entry.runID, entry.startedAt, pid, pid, "running", identity));
      persisted = ::fsync(entry.leaseFD.get()) == 0;
    } catch (const KorvelinCoreError&) {
    }
  }
  if (!persisted) {
    entry.tryWriteEvent("launch_identity_not_persisted", pid);
    abandonStart(attempt, nullptr);
  }
  entry.rootIdentity = *identity;
  entry.tryWriteEvent("launched", pid);
}

void ProcessSupervisor::resume(StartAttempt& attempt) {
  const std::int32_t pid = *attempt.child;
  if (platform::resumeSuspended(pid) != 0) {
    attempt.entry->tryWriteEvent("launch_resume_failed", pid);
    abandonStart(attempt, nullptr);
  }
}

void ProcessSupervisor::abandonStart(StartAttempt& attempt,
                                     std::exception_ptr reason,
                                     bool refusedByCaller) {
  Entry& entry = *attempt.entry;
  // Removes the lease this start created, once no child can exist.
  auto removeOwnLease = [&]() noexcept {
    entry.logFD.reset();
    entry.leaseFD.reset();
    try {
      auto info = metadataAt(attempt.rootFD, leaseName());
      if (info && S_ISREG(info->st_mode) && sameFile(*info, entry.leaseIdentity))
        ::unlinkat(attempt.rootFD, leaseName().c_str(), 0);
    } catch (...) {
    }
  };

  if (!attempt.child) {
    removeOwnLease();
    std::rethrow_exception(reason);
  }
  const std::int32_t pid = *attempt.child;
  const bool reaped = killAndReapSuspended(
      *signaler_, pid, attempt.childRecorded ? std::optional(pid) : std::nullopt);
  if (refusedByCaller && reaped) {
    removeOwnLease();
    std::rethrow_exception(reason);
  }
  entry.leaseFD.reset();
  entry.logFD.reset();
  throw KorvelinCoreError::processIdentityLost(entry.profileID);
}

bool ProcessSupervisor::validateAnchor(Entry& entry) {
  if (entry.rootReaped)
    throw KorvelinCoreError::processIdentityLost(entry.profileID);
  for (int attempt = 0; attempt < kAnchorAttempts; ++attempt) {
    if (attempt > 0)
      std::this_thread::sleep_for(kAnchorRetryInterval);
    if (auto record = runtime_->processRecord(entry.rootPID)) {
      if (record->group != entry.processGroupID || record->startSeconds != entry.rootStartSeconds ||
          record->startMicroseconds != entry.rootStartMicroseconds)
        throw KorvelinCoreError::processIdentityLost(entry.profileID);
      return record->zombie;
    }
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(entry.rootPID), &info, WEXITED | WNOHANG | WNOWAIT) ==
        0) {
      if (info.si_pid != 0)
        return true;
    } else if (errno == ECHILD) {
      throw KorvelinCoreError::processIdentityLost(entry.profileID);
    }
  }
  throw KorvelinCoreError::processIdentityLost(entry.profileID);
}

void ProcessSupervisor::markManagedGroupStopped(Entry& entry, std::optional<int> waitStatus) {
  entry.rootReaped = true;
  if (waitStatus) {
    const int signal = *waitStatus & 0x7f;
    if (signal != 0)
      entry.terminationSignal = signal;
    else
      entry.exitCode = (*waitStatus >> 8) & 0xff;
  }
  entry.state = ProcessRunState::managedGroupStoppedAwaitingConfirmation;
  entry.tryWriteEvent("managed_group_stopped", entry.rootPID, entry.exitCode,
                      entry.terminationSignal);
}

void ProcessSupervisor::acceptSynchronousNativeReap(Entry& entry) {
  auto groupIsEmpty = [&] {
    try {
      return runtime_->groupMembers(entry.processGroupID).empty();
    } catch (const KorvelinCoreError&) {
      return false;
    }
  };
  if (groupIsEmpty() && signaler_->signalProcess(entry.rootPID, 0) == ESRCH && groupIsEmpty()) {
    markManagedGroupStopped(entry, std::nullopt);
    return;
  }
  throw KorvelinCoreError::processIdentityLost(entry.profileID);
}

void ProcessSupervisor::refresh(Entry& entry, bool allowSynchronousNativeReap) {
  if (entry.rootReaped)
    return;
  bool exited;
  try {
    exited = validateAnchor(entry);
  } catch (const KorvelinCoreError& e) {
    if (isProcessIdentityLost(e) && allowSynchronousNativeReap) {
      acceptSynchronousNativeReap(entry);
      return;
    }
    throw;
  }
  if (!exited) {
    entry.state = ProcessRunState::running;
    return;
  }
  std::vector<std::int32_t> members;
  try {
    members = runtime_->groupMembers(entry.processGroupID);
  } catch (const KorvelinCoreError&) {
    throw KorvelinCoreError::processIdentityLost(entry.profileID);
  }
  bool rootListed = false, othersRemain = false;
  for (auto member : members)
    (member == entry.rootPID ? rootListed : othersRemain) = true;
  if (!rootListed)
    throw KorvelinCoreError::processIdentityLost(entry.profileID);
  if (othersRemain) {
    entry.state = ProcessRunState::rootExitedDescendantsRunning;
    return;
  }
  int status = 0;
  const pid_t done = retryOnEintr([&] { return ::waitpid(entry.rootPID, &status, WNOHANG); });
  if (done == entry.rootPID) {
    markManagedGroupStopped(entry, status);
  } else if (done != 0) {
    throw KorvelinCoreError::processIdentityLost(entry.profileID);
  }
}

bool ProcessSupervisor::requestTermination(Entry& entry) {
  const int rc = signaler_->signalGroup(entry.processGroupID, SIGTERM);
  if (rc == 0 || rc == ESRCH)
    return false;
  if (rc == EPERM && entry.applicationTerminationIdentity) {
    if (validateAnchor(entry))
      throw KorvelinCoreError::processIdentityLost(entry.profileID);
    if (!applicationTerminator_->requestQuit(entry.rootPID, *entry.applicationTerminationIdentity))
      throw KorvelinCoreError::processLaunchFailed(
          "native application termination request was rejected");
    entry.tryWriteEvent("native_termination_requested", entry.rootPID);
    return true;
  }
  throw KorvelinCoreError::processLaunchFailed("SIGTERM failed: " + platform::errorText(rc));
}

std::optional<ProcessSnapshot> ProcessSupervisor::status(const Uuid& profileID,
                                                         const ProfilePaths& paths) {
  std::lock_guard guard(lock_);
  requireProfile(profileID, paths);
  auto it = entries_.find(profileID);
  if (it == entries_.end()) {
    if (leaseExists(paths))
      throw KorvelinCoreError::profileRecoveryRequired(profileID);
    return std::nullopt;
  }
  refresh(*it->second, false);
  return it->second->snapshot();
}

ProcessSupervisor::Entry& ProcessSupervisor::requireEntry(const Uuid& profileID,
                                                          const ProfilePaths& paths) {
  auto it = entries_.find(profileID);
  if (it != entries_.end())
    return *it->second;
  if (leaseExists(paths))
    throw KorvelinCoreError::profileRecoveryRequired(profileID);
  throw KorvelinCoreError::notRunning(profileID);
}

ProcessSnapshot ProcessSupervisor::stop(const Uuid& profileID,
                                        const ProfilePaths& paths,
                                        double timeout) {
  if (!(timeout > 0))
    throw KorvelinCoreError::invalidStopTimeout();
  std::lock_guard guard(lock_);
  requireProfile(profileID, paths);
  Entry& entry = requireEntry(profileID, paths);
  refresh(entry, false);
  if (entry.state == ProcessRunState::managedGroupStoppedAwaitingConfirmation ||
      entry.state == ProcessRunState::stoppedConfirmed)
    return entry.snapshot();

  validateAnchor(entry);
  bool nativeQuitRequested = requestTermination(entry);
  entry.tryWriteEvent("stop_requested", entry.rootPID, std::nullopt, SIGTERM);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  if (std::chrono::steady_clock::now() >= deadline)
    throw KorvelinCoreError::stopTimedOut(profileID);
  for (;;) {
    std::this_thread::sleep_for(kStopPollInterval);
    refresh(entry, nativeQuitRequested);
    if (entry.state == ProcessRunState::managedGroupStoppedAwaitingConfirmation)
      return entry.snapshot();
    validateAnchor(entry);
    // SIGTERM goes to the group again on every round (members may have been
    // forked since); once the application was asked to quit natively, no
    // signal follows.
    if (!nativeQuitRequested)
      nativeQuitRequested = requestTermination(entry);
    if (std::chrono::steady_clock::now() >= deadline)
      throw KorvelinCoreError::stopTimedOut(profileID);
  }
}

ProcessSnapshot ProcessSupervisor::confirmCompletion(const Uuid& profileID,
                                                     const Uuid& runID,
                                                     const ProfilePaths& paths) {
  std::lock_guard guard(lock_);
  requireProfile(profileID, paths);
  Entry& entry = requireEntry(profileID, paths);
  if (entry.runID != runID)
    throw KorvelinCoreError::runIdentityMismatch();
  refresh(entry, false);
  if (entry.state != ProcessRunState::managedGroupStoppedAwaitingConfirmation)
    throw KorvelinCoreError::completionNotReady();
  entry.writeEvent("completion_confirmed", entry.rootPID, entry.exitCode, entry.terminationSignal);

  auto info = metadataAt(entry.rootDirectoryFD.get(), leaseName());
  if (!info || !S_ISREG(info->st_mode) || !sameFile(*info, entry.leaseIdentity))
    throw KorvelinCoreError::profileRecoveryRequired(profileID);
  if (::unlinkat(entry.rootDirectoryFD.get(), leaseName().c_str(), 0) != 0)
    throw KorvelinCoreError::profilePreparationFailed("unlink failed: " +
                                                      platform::errorText(errno));

  entry.leaseFD.reset();
  entry.logFD.reset();
  entry.rootDirectoryFD.reset();
  entry.state = ProcessRunState::stoppedConfirmed;
  return entry.snapshot();
}

void ProcessSupervisor::canRecoverStaleLease(const Uuid& profileID, const ProfilePaths& paths) {
  std::lock_guard guard(lock_);
  recover(profileID, paths, false);
}

void ProcessSupervisor::recoverStaleLease(const Uuid& profileID, const ProfilePaths& paths) {
  std::lock_guard guard(lock_);
  recover(profileID, paths, true);
}

void ProcessSupervisor::recover(const Uuid& profileID, const ProfilePaths& paths, bool commit) {
  requireProfile(profileID, paths);
  const auto refused = [&] { return KorvelinCoreError::profileRecoveryRequired(profileID); };
  if (entries_.count(profileID))
    throw refused();

  ScopedFD rootFD = SecureFileSystem::openManagedRootFD(paths);
  ScopedFD logsFD = SecureFileSystem::openChildDirectoryFD(rootFD.get(), kLogsDirectoryName,
                                                           paths.logs(), MissingDirectories::fail,
                                                           &KorvelinCoreError::unsafeProfilePath);
  const LaunchLeaseFile leaseFile = readLaunchLease(rootFD.get(), ErrorFactory::always(refused()),
                                                    &KorvelinCoreError::profilePreparationFailed);
  const struct stat& opened = leaseFile.metadata.info;
  const std::string& bytes = leaseFile.bytes;

  auto lease = parseDurableProcessLease(bytes);
  if (!lease || lease->state != "running" || lease->rootPID < 2 ||
      lease->processGroupID != lease->rootPID || !std::isfinite(lease->startedAt))
    throw refused();

  // The run is gone only when the root and its whole group are, twice.
  auto runIsGone = [&] {
    return signaler_->signalProcess(lease->rootPID, 0) == ESRCH &&
           runtime_->groupMembers(lease->processGroupID).empty();
  };
  if (!runIsGone())
    throw refused();
  std::this_thread::sleep_for(kRecoveryProbeInterval);
  if (!runIsGone())
    throw refused();

  auto unchanged = [&](bool fully) {
    auto now = metadataAt(rootFD.get(), leaseName());
    if (!now || !S_ISREG(now->st_mode) || now->st_dev != opened.st_dev ||
        now->st_ino != opened.st_ino)
      return false;
    return !fully ||
           (now->st_mode == opened.st_mode && now->st_uid == opened.st_uid && now->st_nlink == 1 &&
            now->st_size == opened.st_size &&
            platform::modificationTime(*now).tv_sec == platform::modificationTime(opened).tv_sec &&
            platform::modificationTime(*now).tv_nsec == platform::modificationTime(opened).tv_nsec);
  };
  if (!unchanged(true))
    throw refused();

  const std::string evidence =
      recoveryEvidenceJSON(profileID, lease->runID, currentUnixTime(), bytes);
  const std::string evidenceName = "recovery-" + lease->runID.lowercaseString() + ".jsonl";
  const std::string evidencePath = appendingPathComponent(paths.logs(), evidenceName);
  if (!commit) {
    // The exclusive create would fail on an existing name.
    if (metadataAt(logsFD.get(), evidenceName))
      throw KorvelinCoreError::logCreationFailed(failureDetail(EEXIST, "create", evidencePath));
    return;
  }

  {
    ScopedFD evidenceFD = PrivateFile::createExclusive(
        logsFD.get(), evidenceName, O_WRONLY, evidencePath, &KorvelinCoreError::logCreationFailed);
    writeLine(evidenceFD.get(), evidence);
    if (::fsync(evidenceFD.get()) != 0 || ::fsync(logsFD.get()) != 0)
      throw KorvelinCoreError::logCreationFailed(platform::errorText(errno));
  }
  if (!unchanged(false))
    throw refused();
  if (::unlinkat(rootFD.get(), leaseName().c_str(), 0) != 0)
    throw KorvelinCoreError::profilePreparationFailed("unlink failed: " +
                                                      platform::errorText(errno));
  if (::fsync(rootFD.get()) != 0)
    throw KorvelinCoreError::profilePreparationFailed(
        "could not persist recovered lease removal: " + platform::errorText(errno));
}

}  // namespace korvelin
