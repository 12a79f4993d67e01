#pragma once

// The one holder of an flock lock. The lock lives on the open file the holder
// owns and is released (LOCK_UN) before the descriptor is closed, so that a
// copy of the descriptor inherited by a child not yet exec'd cannot keep it.

#include <utility>

#include "core/platform/ScopedFD.h"

namespace korvelin {

class FileLock {
 public:
  enum class Mode { shared, exclusive };
  enum class Wait { untilFree, never };

  FileLock() = default;
  explicit FileLock(platform::ScopedFD fd) : fd_(std::move(fd)) {}
  ~FileLock() { unlock(); }
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock, retrying on EINTR. False with errno set when it could not
  // (EWOULDBLOCK: another holder has it and `wait` is `never`).
  bool lock(Mode mode, Wait wait);
  void unlock() noexcept;

  int fd() const noexcept { return fd_.get(); }
  bool locked() const noexcept { return locked_; }

 private:
  platform::ScopedFD fd_;
  bool locked_ = false;
};

}  // namespace korvelin
