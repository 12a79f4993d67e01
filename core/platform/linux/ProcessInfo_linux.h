#pragma once

// The pure part of reading a process record on Linux, apart so that it can
// be given any boot time.

#if defined(__linux__)

#include <optional>
#include <string_view>

#include "core/platform/ProcessInfo.h"

namespace korvelin::platform {

// The record described by the text of /proc/<pid>/stat and /proc/<pid>/status.
// `bootTime` is the boot's wall-clock time as the clock stands at the moment
// of reading (it moves whenever the clock is stepped); `ticksPerSecond` is
// sysconf(_SC_CLK_TCK). Absent when the text cannot be parsed.
std::optional<ProcessRecord> recordFromProc(std::string_view stat,
                                            std::string_view status,
                                            long ticksPerSecond,
                                            double bootTime);

}  // namespace korvelin::platform

#endif  // __linux__
