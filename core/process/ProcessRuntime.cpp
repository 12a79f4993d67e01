#include "core/process/ProcessRuntime.h"

#include <cerrno>

#include "core/base/CoreError.h"
#include "core/platform/FileUtil.h"

namespace korvelin {

std::vector<std::int32_t> SystemProcessRuntime::groupMembers(std::int32_t processGroupID) {
  auto members = platform::groupMembers(processGroupID);
  if (!members)
    throw KorvelinCoreError::processLaunchFailed("process-group enumeration failed: " +
                                                 platform::errorText(errno));
  return std::move(*members);
}

std::optional<platform::ProcessRecord> SystemProcessRuntime::processRecord(std::int32_t pid) {
  return platform::processRecord(pid);
}

}  // namespace korvelin
