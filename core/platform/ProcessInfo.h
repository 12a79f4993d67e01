#pragma once

// Raw per-process facts read from the kernel. The shared code in
// LiveProcessIdentity.cpp applies the rules; each OS file only reads.
//   Linux: /proc/<pid>/stat, /proc/<pid>/status, /proc/<pid>/exe,
//          /proc/<pid>/cmdline, /proc/sys/kernel/random/boot_id.
//   macOS: proc_pidinfo, proc_pidpath, KERN_PROCARGS2, kern.bootsessionuuid,
//          proc_listpgrppids.
//   Tables: Linux scans /proc/*/stat for parents and matches the socket
//   inodes of /proc/<pid>/fd against /proc/<pid>/net/tcp and tcp6; macOS asks
//   proc_listallpids, proc_pidinfo and proc_pidfdinfo.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvelin::platform {

struct ProcessRecord {
  std::int64_t group = -1;  // process-group identifier as the kernel reports it
  std::uint32_t uid = 0;    // effective user
  // The start time, fixed for the life of the process and the same for every
  // reader. macOS counts it from 1970, as the kernel stamped it at fork.
  // Linux counts it from the boot: the wall-clock time of the boot that the
  // kernel reports follows every step of the clock, so a start derived from
  // it would name the same process differently before and after a step.
  std::uint64_t startSeconds = 0;
  std::uint64_t startMicroseconds = 0;
  bool zombie = false;
  // When the process started, in seconds since 1970 by the wall clock as it
  // stands now: for display and for comparing with recorded dates only.
  double startDate = 0;
};

std::optional<ProcessRecord> processRecord(std::int32_t pid);

// Path bytes of the process's executable, as the kernel reports them.
std::optional<std::string> executablePath(std::int32_t pid);

// The file the process was started from, opened read-only and close-on-exec.
// Linux opens the very file even when its path has since been reused; macOS
// opens what the path names now. -1 (errno set) when it cannot be opened.
int openExecutable(std::int32_t pid);

// The boot session identifier text, as read (not yet checked to be a UUID).
std::optional<std::string> bootSessionText();

// The argument strings of a live process, undecoded. Absent when unreadable,
// larger than 2 MiB, or without any argument.
std::optional<std::vector<std::string>> rawArguments(std::int32_t pid);

// Identifiers (all greater than 0) of the current members of a process group.
// Linux leaves out zombies that are not this process's own children.
// Absent (errno set) when the listing failed.
std::optional<std::vector<std::int32_t>> groupMembers(std::int32_t processGroupID);

// (pid, parent pid) of every process found in one scan of the process table;
// processes that end during the scan are left out. Absent when the table
// cannot be read or holds more than `limit` processes.
std::optional<std::vector<std::pair<std::int32_t, std::int32_t>>> processParents(std::size_t limit);

// One TCP socket as the kernel reports it; ports in host byte order. An
// address is loopback only when it is exactly 127.0.0.1 (for an IPv6 socket,
// the IPv4-mapped ::ffff:127.0.0.1).
struct TcpSocketRecord {
  std::uint16_t localPort = 0;
  std::uint16_t remotePort = 0;
  bool localIsLoopback = false;
  bool remoteIsLoopback = false;
  std::uint32_t state = 0;  // kTcpEstablished for an established connection

  bool operator==(const TcpSocketRecord&) const = default;
};

// The state the shared code compares with: the kernel's own numbers differ
// (Linux writes ESTABLISHED as 1, macOS as 4), so each reader translates its
// established state to this value and leaves every other state as it is,
// shifted out of the way.
inline constexpr std::uint32_t kTcpEstablished = 4;

// A process holds at most this many descriptors for its sockets to be read.
inline constexpr std::size_t kMaxDescriptors = 4081;

// The TCP sockets among a process's descriptors. Absent when the descriptor
// table or the socket tables cannot be read completely, or the process holds
// more than kMaxDescriptors descriptors.
std::optional<std::vector<TcpSocketRecord>> tcpSockets(std::int32_t pid);

}  // namespace korvelin::platform
