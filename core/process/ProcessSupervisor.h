#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"
#include "core/platform/ProcessInfo.h"
#include "core/platform/RunningApplication.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/VLESSRuntimeHealth.h"

namespace korvelin {

enum class ProcessRunState {
  running,
  rootExitedDescendantsRunning,
  managedGroupStoppedAwaitingConfirmation,
  stoppedConfirmed,
};

std::string_view rawValue(ProcessRunState state);
std::optional<ProcessRunState> processRunStateFromRawValue(std::string_view raw);

// Who an application is, for a native quit request (macOS only).
struct ApplicationTerminationIdentity {
  std::string bundleIdentifier;
  std::string bundlePath;      // path of the ".app" bundle
  std::string executablePath;  // path of the bundle's main executable

  bool operator==(const ApplicationTerminationIdentity&) const = default;
};

struct ProcessLaunchPlan {
  std::string executablePath;  // path of the program to spawn
  std::vector<std::string> arguments;
  std::map<std::string, std::string> environmentOverrides;
  ProfilePaths paths;
  std::optional<ApplicationTerminationIdentity> applicationTerminationIdentity;

  bool operator==(const ProcessLaunchPlan&) const = default;
};

struct ProcessSnapshot {
  Uuid profileID;
  Uuid runID;
  std::int32_t rootPID = 0;
  std::int32_t processGroupID = 0;
  ProcessRunState state = ProcessRunState::running;
  double startedAt = 0;  // seconds since 1970
  std::optional<std::int32_t> exitCode;
  std::optional<std::int32_t> terminationSignal;
  std::string logPath;  // path of the run's launch log
  // Left empty by the supervisor; filled by other components before display.
  std::optional<std::string> continuityWarning;
  std::optional<VLESSRuntimeHealth> vlessHealth;
  std::optional<LiveProcessIdentity> rootIdentity;

  bool operator==(const ProcessSnapshot&) const = default;
};

void to_json(nlohmann::json& json, const ProcessSnapshot& snapshot);
void from_json(const nlohmann::json& json, ProcessSnapshot& snapshot);

// Collaborators, injected so that tests can stand in for the kernel.
class ProcessRuntime {
 public:
  virtual ~ProcessRuntime() = default;
  // Pids of the live members of a process group; throws processLaunchFailed.
  virtual std::vector<std::int32_t> groupMembers(std::int32_t processGroupID) = 0;
  // The kernel's record of a process (group, start time, zombie), or absent.
  virtual std::optional<platform::ProcessRecord> processRecord(std::int32_t pid) = 0;
};

class ProcessSignaling {
 public:
  virtual ~ProcessSignaling() = default;
  // kill(pid, signal): 0 on success, otherwise the errno value.
  virtual int signalProcess(std::int32_t pid, int signal) = 0;
  // kill(-group, signal): 0 on success, otherwise the errno value.
  virtual int signalGroup(std::int32_t processGroupID, int signal) = 0;
};

class ApplicationTerminating {
 public:
  virtual ~ApplicationTerminating() = default;
  virtual bool requestQuit(std::int32_t pid, const ApplicationTerminationIdentity& expectedIdentity) = 0;
};

// The kernel-backed defaults.
class SystemProcessRuntime final : public ProcessRuntime {
 public:
  std::vector<std::int32_t> groupMembers(std::int32_t processGroupID) override;
  std::optional<platform::ProcessRecord> processRecord(std::int32_t pid) override;
};

class SystemProcessSignaler final : public ProcessSignaling {
 public:
  int signalProcess(std::int32_t pid, int signal) override;
  int signalGroup(std::int32_t processGroupID, int signal) override;
};

// Asks a running application to quit through the platform's application
// handles, after checking that the handle is the expected application. Linux
// has no such handles: its resolver finds nothing, so the request is refused.
class RunningApplicationTerminator final : public ApplicationTerminating {
 public:
  explicit RunningApplicationTerminator(std::shared_ptr<RunningApplicationResolving> resolver);
  bool requestQuit(std::int32_t pid, const ApplicationTerminationIdentity& expectedIdentity) override;

 private:
  std::shared_ptr<RunningApplicationResolving> resolver_;
};

// The environment a launched application gets: only a few harmless host
// variables survive, PATH is defaulted when the host has none, and the plan's
// overrides win. Sorted by key, as "KEY=VALUE" strings are emitted.
std::map<std::string, std::string> sanitizedEnvironment(
    const std::map<std::string, std::string>& host,
    const std::map<std::string, std::string>& overrides);

// Launches profile applications as the roots of new process groups, keeps one
// supervised run per profile, stops and confirms runs, and recovers stale
// leases left by a crashed host. Every public operation holds the one lock
// for its whole duration, stop loops included.
class ProcessSupervisor {
 public:
  using RunIDGenerator = std::function<Uuid()>;
  using BeforeSpawnCheck = std::function<void()>;
  using SuspendedCheck = std::function<void(std::int32_t pid)>;

  ProcessSupervisor(std::shared_ptr<ProcessRuntime> runtime = nullptr,
                    std::shared_ptr<ProcessSignaling> signaler = nullptr,
                    std::shared_ptr<ApplicationTerminating> applicationTerminator = nullptr,
                    RunIDGenerator runIDGenerator = nullptr);
  ~ProcessSupervisor();
  ProcessSupervisor(const ProcessSupervisor&) = delete;
  ProcessSupervisor& operator=(const ProcessSupervisor&) = delete;

  // `hostEnvironment` stands in for this process's environment (tests).
  ProcessSnapshot start(const Uuid& profileID, const ProcessLaunchPlan& plan,
                        const BeforeSpawnCheck& validateBeforeSpawn,
                        const SuspendedCheck& validateSuspended,
                        const std::optional<std::map<std::string, std::string>>& hostEnvironment = std::nullopt);
  std::optional<ProcessSnapshot> status(const Uuid& profileID, const ProfilePaths& paths);
  ProcessSnapshot stop(const Uuid& profileID, const ProfilePaths& paths, double timeout);
  ProcessSnapshot confirmCompletion(const Uuid& profileID, const Uuid& runID, const ProfilePaths& paths);
  void canRecoverStaleLease(const Uuid& profileID, const ProfilePaths& paths);
  void recoverStaleLease(const Uuid& profileID, const ProfilePaths& paths);

  struct Entry;

 private:
  void refresh(Entry& entry, bool allowSynchronousNativeReap);
  bool validateAnchor(Entry& entry);
  bool requestTermination(Entry& entry);
  void acceptSynchronousNativeReap(Entry& entry);
  void markManagedGroupStopped(Entry& entry, std::optional<int> waitStatus);
  void recover(const Uuid& profileID, const ProfilePaths& paths, bool commit);
  // The run of a profile; without one, recovery is required when a lease is
  // on disk, otherwise the profile is not supervised.
  Entry& requireEntry(const Uuid& profileID, const ProfilePaths& paths);

  std::mutex lock_;
  std::map<Uuid, std::unique_ptr<Entry>> entries_;
  std::shared_ptr<ProcessRuntime> runtime_;
  std::shared_ptr<ProcessSignaling> signaler_;
  std::shared_ptr<ApplicationTerminating> applicationTerminator_;
  RunIDGenerator runIDGenerator_;
};

}  // namespace korvelin
