#pragma once

// Starting a program stopped before its first instruction, as the leader of a
// new process group, so that its identity and code can be checked before it
// runs.
//   macOS: posix_spawn with POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_START_SUSPENDED;
//          resumed with SIGCONT.
//   Linux: fork; the child calls setpgid(0, 0) and waits on a pipe while the
//          parent attaches with PTRACE_SEIZE (PTRACE_O_EXITKILL,
//          PTRACE_O_TRACEEXEC) and only then releases it to execve; the
//          parent waits for the exec stop and resumes with PTRACE_DETACH. A
//          parent that dies before attaching leaves a child that exits at the
//          pipe's end; one that dies later takes the child with it.
//          Differs: the child's signal mask is emptied and ignored signals are
//          reset to their defaults, so a host that blocks SIGTERM for sigwait
//          does not pass that on; descriptors above 2 are closed in the child;
//          a host that dies before resuming takes the suspended child with
//          it, where on macOS it would stay suspended.

#include <cstdint>
#include <string>
#include <vector>

namespace korvelin::platform {

struct SuspendedSpawnRequest {
  std::string path;                      // the program, also argv[0]
  std::vector<std::string> arguments;    // after argv[0]
  std::vector<std::string> environment;  // "KEY=VALUE", in the order given
};

// The child's pid (== its process-group id), or, when `pid` is -1, the
// failing step in words (for example the system's text for a missing
// program).
struct SuspendedSpawnResult {
  std::int32_t pid = -1;
  std::string failure;
};

// Standard streams of the child are the null device. No child is left behind
// on failure.
SuspendedSpawnResult spawnSuspended(const SuspendedSpawnRequest& request);

// Lets a child returned by spawnSuspended run. Returns 0 or an errno value.
int resumeSuspended(std::int32_t pid);

}  // namespace korvelin::platform
