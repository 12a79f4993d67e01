#pragma once

// Starting a helper process whose only inputs are the ones we give it.
//   Linux: posix_spawn with posix_spawn_file_actions_addclosefrom_np.
//   macOS: posix_spawn with POSIX_SPAWN_CLOEXEC_DEFAULT.
// A child that must end with its parent is forked instead on Linux (see
// SpawnSupport.h).

#include <sys/types.h>

#include <string>
#include <vector>

namespace korvelin::platform {

// Starts `path` with `arguments` (the program name first) and exactly
// `environment`. Standard input is `standardInput`; standard output and
// error are the null device; no other descriptor is inherited, whatever its
// close-on-exec flag. Signal dispositions and the signal mask start from the
// defaults, so a parent that ignores SIGPIPE does not pass that on. Returns
// the pid, or -1 with errno set.
pid_t spawnWithInput(const std::string& path,
                     const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment,
                     int standardInput);

// The same, with standard output to `standardOutput` and standard error to
// `standardError`; -1 for any stream means the null device. With
// `newSession` the child leads a session (and a process group) of its own,
// out of reach of the signals a terminal sends to our group. With
// `endWithParent` the system kills the child when the calling thread ends,
// however it ends, SIGKILL included; where the system cannot do that the
// child starts as usual and only the parent's own shutdown ends it.
pid_t spawnWithStreams(const std::string& path,
                       const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment,
                       int standardInput,
                       int standardOutput,
                       bool newSession = false,
                       bool endWithParent = false,
                       int standardError = -1);

}  // namespace korvelin::platform
