#include "core/process/ProcessRuntime.h"

namespace korvelin {

std::vector<std::int32_t> SystemProcessRuntime::groupMembers(std::int32_t processGroupID) {
  return platform::groupMembers(processGroupID);
}

std::optional<platform::ProcessRecord> SystemProcessRuntime::processRecord(std::int32_t pid) {
  return platform::processRecord(pid);
}

}  // namespace korvelin
