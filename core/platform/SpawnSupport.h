#pragma once

// Pieces shared by the code that starts processes: argument vectors for exec
// and posix_spawn, and posix_spawn's setup objects owned like descriptors.

#include <signal.h>
#include <spawn.h>

#include <string>
#include <vector>

namespace korvelin::platform {

// A null-terminated vector of pointers into `strings`, as execve and
// posix_spawn take them; `strings` must outlive it.
inline std::vector<char*> execPointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (auto& s : strings)
    result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// In a forked child before exec (async-signal-safe): no signal blocked and
// every disposition the default, whatever the parent had set.
inline void restoreDefaultSignals() {
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  for (int signo = 1; signo < NSIG; ++signo)
    if (signo != SIGKILL && signo != SIGSTOP)
      ::sigaction(signo, &defaults, nullptr);
}

// posix_spawn's file actions and attributes, destroyed on every path; `ready`
// is false when initialisation failed.
struct SpawnFileActions {
  posix_spawn_file_actions_t value;
  bool ready = posix_spawn_file_actions_init(&value) == 0;
  SpawnFileActions() = default;
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  ~SpawnFileActions() {
    if (ready)
      posix_spawn_file_actions_destroy(&value);
  }
};

struct SpawnAttributes {
  posix_spawnattr_t value;
  bool ready = posix_spawnattr_init(&value) == 0;
  SpawnAttributes() = default;
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() {
    if (ready)
      posix_spawnattr_destroy(&value);
  }
};

// Arranges that the child inherits only descriptors 0, 1 and 2, whatever the
// close-on-exec flags of the others. Call after setting the attributes'
// flags. Returns 0 or an errno value.
//   Linux: posix_spawn_file_actions_addclosefrom_np(3).
//   macOS: POSIX_SPAWN_CLOEXEC_DEFAULT.
int inheritOnlyStandardStreams(SpawnAttributes& attributes, SpawnFileActions& actions);

// Starts a child exactly as spawnWithStreams does (standard streams, signal
// state, session, no other descriptor), one the system kills as soon as the
// calling thread ends. Sets `pid` and returns 0, or returns an errno value;
// ENOTSUP where the system has no such guarantee.
//   Linux: fork; the child asks for SIGKILL on its parent's death and then
//   makes sure its parent is still the caller before it execs.
//   macOS: ENOTSUP.
int spawnEndingWithParent(const char* path,
                          char* const* argv,
                          char* const* envp,
                          int standardInput,
                          int standardOutput,
                          int standardError,
                          bool newSession,
                          pid_t& pid);

}  // namespace korvelin::platform
