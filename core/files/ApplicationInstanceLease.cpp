#include "core/files/ApplicationInstanceLease.h"

#include <fcntl.h>

#include <cerrno>

#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/files/PrivateFile.h"
#include "core/platform/FileUtil.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

using platform::ScopedFD;

ApplicationInstanceLeaseError::ApplicationInstanceLeaseError(std::string detail)
    : detail_(std::move(detail)),
      description_("Korvelin could not establish single-instance ownership: " + detail_) {}

ApplicationInstanceLeaseError ApplicationInstanceLeaseError::unsafe(std::string detail) {
  return ApplicationInstanceLeaseError(std::move(detail));
}

namespace {

[[noreturn]] void refuse(std::string detail) {
  throw ApplicationInstanceLeaseError::unsafe(std::move(detail));
}

[[noreturn]] void refuseWithErrno(int error, std::string_view text) {
  refuse(std::string(text) + platform::errorText(error));
}

// Lower layers report through the base's error case; the lease reports only
// the detail.
const ErrorFactory kDetail([](const std::string& detail) {
  return KorvelinCoreError::unsafeProfileBase(detail);
});

}  // namespace

ApplicationInstanceAcquisition ApplicationInstanceLease::acquire(
    const std::string& baseDirectory,
    const std::string& defaultBaseDirectory) {
  ScopedFD base;
  try {
    ProfilePreparer(defaultBaseDirectory).prepareBase(baseDirectory);
    base =
        SecureFileSystem::openDirectoryFD(baseDirectory, {}, &KorvelinCoreError::unsafeProfileBase);
  } catch (const KorvelinCoreError& e) {
    refuse(e.errorDescription());
  }

  const std::string path = appendingPathComponent(standardizedPath(baseDirectory), fileName);
  FileLock lock;
  try {
    bool created = false;
    ScopedFD fd = PrivateFile::openOrCreate(base.get(), fileName, O_RDWR, path, kDetail, created);
    if (!fd)
      refuseWithErrno(errno, "could not open .instance.lock: ");
    PrivateFile::verify(fd.get(), path, kDetail, {.noun = "lease"});
    lock = FileLock(std::move(fd));
  } catch (const KorvelinCoreError& e) {
    refuse(e.detail());
  }
  if (!lock.lock(FileLock::Mode::exclusive, FileLock::Wait::never)) {
    if (errno == EWOULDBLOCK)
      return {};
    refuseWithErrno(errno, "flock failed: ");
  }
  return {std::unique_ptr<ApplicationInstanceLease>(new ApplicationInstanceLease(std::move(lock)))};
}

std::unique_ptr<ApplicationInstanceLease> ApplicationInstanceLease::borrowed(
    platform::ScopedFD fd) {
  // A lock object that never took the lock never releases it.
  return std::unique_ptr<ApplicationInstanceLease>(
      new ApplicationInstanceLease(FileLock(std::move(fd))));
}

}  // namespace korvelin
