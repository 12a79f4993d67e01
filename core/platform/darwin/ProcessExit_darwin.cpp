#if defined(__APPLE__)

#include <fcntl.h>
#include <sys/event.h>

#include "core/platform/Eintr.h"
#include "core/platform/ProcessExit.h"

namespace korvelin::platform {

ScopedFD watchProcessExit(pid_t pid) {
  ScopedFD queue(::kqueue());
  if (!queue || ::fcntl(queue.get(), F_SETFD, FD_CLOEXEC) != 0)
    return ScopedFD();
  struct kevent change;
  EV_SET(&change, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  if (retryOnEintr([&] { return ::kevent(queue.get(), &change, 1, nullptr, 0, nullptr); }) != 0)
    return ScopedFD();
  return queue;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
