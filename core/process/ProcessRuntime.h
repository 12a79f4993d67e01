#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/platform/ProcessInfo.h"

namespace korvelin {

// The supervisor's view of the kernel's process table, injected so that tests
// can stand in for the kernel.
class ProcessRuntime {
 public:
  virtual ~ProcessRuntime() = default;
  // Pids of the live members of a process group; throws processLaunchFailed.
  virtual std::vector<std::int32_t> groupMembers(std::int32_t processGroupID) = 0;
  // The kernel's record of a process (group, start time, zombie), or absent.
  virtual std::optional<platform::ProcessRecord> processRecord(std::int32_t pid) = 0;
};

// The kernel-backed default.
class SystemProcessRuntime final : public ProcessRuntime {
 public:
  std::vector<std::int32_t> groupMembers(std::int32_t processGroupID) override;
  std::optional<platform::ProcessRecord> processRecord(std::int32_t pid) override;
};

}  // namespace korvelin
