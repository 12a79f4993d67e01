#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/base/Uuid.h"
#include "core/process/ApplicationTerminating.h"
#include "core/process/ProcessLaunchPlan.h"
#include "core/process/ProcessRuntime.h"
#include "core/process/ProcessSignaling.h"
#include "core/process/ProcessSnapshot.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

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
  ProcessSnapshot start(
      const Uuid& profileID,
      const ProcessLaunchPlan& plan,
      const BeforeSpawnCheck& validateBeforeSpawn,
      const SuspendedCheck& validateSuspended,
      const std::optional<std::map<std::string, std::string>>& hostEnvironment = std::nullopt);
  std::optional<ProcessSnapshot> status(const Uuid& profileID, const ProfilePaths& paths);
  ProcessSnapshot stop(const Uuid& profileID, const ProfilePaths& paths, double timeout);
  ProcessSnapshot confirmCompletion(const Uuid& profileID,
                                    const Uuid& runID,
                                    const ProfilePaths& paths);
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
