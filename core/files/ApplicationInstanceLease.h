#pragma once

// Only one copy of the application manages a base directory at a time. The
// copy that holds an exclusive flock on ".instance.lock" in the base owns it
// for as long as its lease object lives; the kernel drops the lock when the
// process ends, however it ends, so a crashed copy never blocks the next one.

#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "core/files/FileLock.h"

namespace korvelin {

// Why single-instance ownership could not be established (the base or the
// lock file is missing or unsafe). Another copy holding the lock is not an
// error: see ApplicationInstanceAcquisition.
class ApplicationInstanceLeaseError : public std::exception {
 public:
  static ApplicationInstanceLeaseError unsafe(std::string detail);

  const std::string& detail() const noexcept { return detail_; }
  // "Korvelin could not establish single-instance ownership: " + detail.
  const std::string& errorDescription() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  friend bool operator==(const ApplicationInstanceLeaseError& a,
                         const ApplicationInstanceLeaseError& b) {
    return a.detail_ == b.detail_;
  }

 private:
  explicit ApplicationInstanceLeaseError(std::string detail);
  std::string detail_;
  std::string description_;
};

class ApplicationInstanceLease;

struct ApplicationInstanceAcquisition {
  // Set when this copy now owns the base; empty when another copy does.
  std::unique_ptr<ApplicationInstanceLease> lease;

  bool acquired() const { return lease != nullptr; }
  bool alreadyRunning() const { return lease == nullptr; }
};

class ApplicationInstanceLease {
 public:
  static constexpr std::string_view fileName = ".instance.lock";

  // Prepares the base (creating the default base if it is missing), opens or
  // creates the lock file (an empty 0600 regular file of the effective user
  // without ACL entries; never deleted, never repaired) and tries the lock
  // without waiting. Throws ApplicationInstanceLeaseError.
  static ApplicationInstanceAcquisition acquire(const std::string& baseDirectory,
                                                const std::string& defaultBaseDirectory);

  // The lease of the running host, lent to this process: `fd` is the host's
  // own open lock file, whose lock the host keeps. Closing it never unlocks:
  // the lock stays the host's.
  static std::unique_ptr<ApplicationInstanceLease> borrowed(platform::ScopedFD fd);

  // The lock is released and the file closed with the lease.
  ApplicationInstanceLease(const ApplicationInstanceLease&) = delete;
  ApplicationInstanceLease& operator=(const ApplicationInstanceLease&) = delete;

  int fileDescriptor() const { return lock_.fd(); }

 private:
  explicit ApplicationInstanceLease(FileLock lock) : lock_(std::move(lock)) {}
  FileLock lock_;
};

}  // namespace korvelin
