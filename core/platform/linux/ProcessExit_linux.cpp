#if defined(__linux__)

#include <sys/syscall.h>
#include <unistd.h>

#include "core/platform/ProcessExit.h"

namespace korvelin::platform {

ScopedFD watchProcessExit(pid_t pid) {
  // Called directly: this C library's <sys/pidfd.h> cannot be used from C++.
  // Its descriptors are always close-on-exec.
  return ScopedFD(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

}  // namespace korvelin::platform

#endif  // __linux__
