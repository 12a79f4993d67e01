#pragma once

// A descriptor that waits for a child to exit, so that one poll can watch a
// child together with its pipes. Reading the exit does not reap the child.
//   Linux: pidfd_open (readable once the process has exited).
//   macOS: a kqueue with an EVFILT_PROC/NOTE_EXIT filter on the process
//          (readable once the event is queued).

#include <sys/types.h>

#include "core/platform/ScopedFD.h"

namespace korvelin::platform {

// Close-on-exec. Invalid (errno set) when the process cannot be watched.
ScopedFD watchProcessExit(pid_t pid);

}  // namespace korvelin::platform
