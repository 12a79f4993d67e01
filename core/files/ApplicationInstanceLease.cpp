#include "core/files/ApplicationInstanceLease.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/profile/ProfilePaths.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"

namespace korvelin {

using platform::retryOnEintr;
using platform::ScopedFD;

ApplicationInstanceLeaseError::ApplicationInstanceLeaseError(std::string detail)
    : detail_(std::move(detail)),
      description_("Korvelin could not establish single-instance ownership: " + detail_) {}

ApplicationInstanceLeaseError ApplicationInstanceLeaseError::unsafe(std::string detail) {
  return ApplicationInstanceLeaseError(std::move(detail));
}

namespace {

constexpr mode_t kLockFileMode = 0600;

[[noreturn]] void refuse(std::string detail) { throw ApplicationInstanceLeaseError::unsafe(std::move(detail)); }

[[noreturn]] void refuseWithErrno(int error, std::string_view text) {
  refuse(std::string(text) + platform::errorText(error));
}

// Opens the lock file, creating it private when it is missing. An existing
// file is only opened; whatever is wrong with it is for the checks to report.
ScopedFD openLockFile(int baseFD, const std::string& path) {
  const std::string name(ApplicationInstanceLease::fileName);
  ScopedFD fd(retryOnEintr([&] {
    return ::openat(baseFD, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kLockFileMode);
  }));
  if (fd) {
    try {
      SecureFileSystem::clearExtendedACL(fd.get(), path, &KorvelinCoreError::unsafeProfileBase);
    } catch (const KorvelinCoreError& e) {
      refuse(e.detail());
    }
    if (retryOnEintr([&] { return ::fchmod(fd.get(), kLockFileMode); }) != 0)
      refuseWithErrno(errno, "could not set .instance.lock mode: ");
    return fd;
  }
  if (errno == EEXIST)
    fd.reset(retryOnEintr([&] { return ::openat(baseFD, name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC); }));
  if (!fd) refuseWithErrno(errno, "could not open .instance.lock: ");
  return fd;
}

void validateLockFile(int fd, const std::string& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    refuseWithErrno(error, "fstat failed for " + path + ": ");
  }
  if (!S_ISREG(info.st_mode)) refuse("lease is not a regular file: " + path);
  if (info.st_uid != ::geteuid())
    refuse("lease is owned by uid " + std::to_string(info.st_uid) + ": " + path);
  if ((info.st_mode & 0777) != kLockFileMode)
    refuse(SecureFileSystem::expectedModeDetail(kLockFileMode, info.st_mode, path));
  try {
    SecureFileSystem::requireNoExtendedACL(fd, path, &KorvelinCoreError::unsafeProfileBase);
  } catch (const KorvelinCoreError& e) {
    refuse(e.detail());
  }
}

}  // namespace

ApplicationInstanceAcquisition ApplicationInstanceLease::acquire(const std::string& baseDirectory,
                                                                 const std::string& defaultBaseDirectory) {
  ScopedFD base;
  try {
    ProfilePreparer(defaultBaseDirectory).prepareBase(baseDirectory);
    base = SecureFileSystem::openDirectoryFD(baseDirectory, std::nullopt, false, true,
                                             &KorvelinCoreError::unsafeProfileBase);
  } catch (const KorvelinCoreError& e) {
    refuse(e.errorDescription());
  }

  const std::string path = appendingPathComponent(standardizedPath(baseDirectory), fileName);
  ScopedFD fd = openLockFile(base.get(), path);
  validateLockFile(fd.get(), path);
  if (retryOnEintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    if (errno == EWOULDBLOCK) return {};
    refuseWithErrno(errno, "flock failed: ");
  }
  return {std::unique_ptr<ApplicationInstanceLease>(new ApplicationInstanceLease(std::move(fd)))};
}

ApplicationInstanceLease::~ApplicationInstanceLease() {
  if (fd_) ::flock(fd_.get(), LOCK_UN);
}

}  // namespace korvelin
