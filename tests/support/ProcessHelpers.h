#pragma once

#include <sys/types.h>

namespace korvelin::testing {

// Makes this process the reaper of orphaned descendants, so that a test can
// collect grandchildren whose parent exited instead of relying on whatever
// runs as pid 1 (which, in a container, may never reap).
void becomeSubreaper();

// Reaps `pid` if it has exited (no wait); true when it was reaped or is not
// our child any more.
bool reapIfExited(pid_t pid);

// True while `pid` names a process (zombies included).
bool processExists(pid_t pid);

}  // namespace korvelin::testing
