#include "core/platform/ScopedFD.h"

#include <unistd.h>

namespace korvelin::platform {

void ScopedFD::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) {
    // Never retried: on Linux and macOS the descriptor is released even when
    // close reports EINTR, and a retry could close a descriptor another
    // thread has just been given.
    ::close(fd_);
  }
  fd_ = fd;
}

}  // namespace korvelin::platform
