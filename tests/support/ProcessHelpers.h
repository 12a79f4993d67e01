#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace korvelin::testing {

// Makes this process the reaper of orphaned descendants while it lives, so
// that a test can collect grandchildren whose parent exited instead of
// leaving them to whatever runs as pid 1 (which, in a container, may never
// reap). When it ends it stops adopting, then kills and collects every child
// this process did not have when it began: adopted orphans must not outlive
// the test as zombies that other tests would count as members of a group.
// Declare it before the test's own subprocesses, so that they end first.
class ScopedSubreaper {
 public:
  ScopedSubreaper();
  ~ScopedSubreaper();
  ScopedSubreaper(const ScopedSubreaper&) = delete;
  ScopedSubreaper& operator=(const ScopedSubreaper&) = delete;

 private:
  std::set<pid_t> childrenBefore_;
};

// The children of this process, running or not yet collected.
std::set<pid_t> childrenOfThisProcess();

// Reaps `pid` if it has exited (no wait); true when it was reaped or is not
// our child any more.
bool reapIfExited(pid_t pid);

// True while `pid` names a process (zombies included).
bool processExists(pid_t pid);

// The command line of `pid`, its arguments joined by spaces.
std::string commandLineOf(pid_t pid);

// Other processes whose command line mentions `text` (Chromium's helpers
// leave the application's group but name the profile's directory).
std::vector<pid_t> processesMentioning(const std::string& text);

}  // namespace korvelin::testing
