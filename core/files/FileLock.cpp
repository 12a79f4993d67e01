#include "core/files/FileLock.h"

#include <sys/file.h>

#include <utility>

#include "core/platform/Eintr.h"

namespace korvelin {

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(std::move(other.fd_)), locked_(std::exchange(other.locked_, false)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    unlock();
    fd_ = std::move(other.fd_);
    locked_ = std::exchange(other.locked_, false);
  }
  return *this;
}

bool FileLock::lock(Mode mode, Wait wait) {
  const int operation =
      (mode == Mode::shared ? LOCK_SH : LOCK_EX) | (wait == Wait::never ? LOCK_NB : 0);
  if (platform::retryOnEintr([&] { return ::flock(fd_.get(), operation); }) != 0)
    return false;
  locked_ = true;
  return true;
}

void FileLock::unlock() noexcept {
  if (locked_)
    ::flock(fd_.get(), LOCK_UN);
  locked_ = false;
}

}  // namespace korvelin
