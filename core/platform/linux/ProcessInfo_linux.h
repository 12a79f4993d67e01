#pragma once

// The pure part of reading a process record on Linux, apart so that it can
// be given any boot time.

#if defined(__linux__)

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

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

// The sockets of one /proc/<pid>/net/tcp (or, with `ipv6`, tcp6) table,
// each with its inode, states translated as TcpSocketRecord says. Absent
// for a table whose header or any line does not have the kernel's shape.
std::optional<std::vector<std::pair<std::uint64_t, TcpSocketRecord>>> parseTcpTable(
    std::string_view text,
    bool ipv6);

}  // namespace korvelin::platform

#endif  // __linux__
