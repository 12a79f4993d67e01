#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"
#include "core/process/LiveProcessIdentity.h"
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

// What is known about one supervised run of a profile.
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

}  // namespace korvelin
