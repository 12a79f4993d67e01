#include "core/process/LaunchLeaseFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/process/LaunchLease.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"

namespace korvelin {

using platform::retryOnEintr;
using platform::ScopedFD;

namespace {

// Non-blocking, so that a FIFO put in the lease's place cannot hold the
// reader in open(2).
constexpr int kLeaseOpenFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
const std::string kName(kLeaseFileName);

}  // namespace

FileMetadata validatedLeaseMetadata(int rootFD, int leaseFD, LeaseChecks checks, const LeaseError& refused) {
  FileMetadata opened;
  const struct stat& info = opened.info;
  if (::fstat(leaseFD, &opened.info) != 0)
    throw refused("fstat failed for " + kName + ": " + platform::errorText(errno));
  if (opened.kind() != FileMetadata::Kind::regularFile) throw refused(kName + " is not a regular file");
  if (info.st_uid != ::geteuid())
    throw refused(kName + " is owned by uid " + std::to_string(info.st_uid));
  if ((info.st_mode & 07777) != 0600)
    throw refused(SecureFileSystem::expectedModeDetail(0600, info.st_mode, kName));
  if (info.st_size < 1 || info.st_size > static_cast<off_t>(kMaxLeaseBytes))
    throw refused(kName + " holds " + std::to_string(info.st_size) + " bytes, not 1..." +
                  std::to_string(kMaxLeaseBytes));
  if (checks == LeaseChecks::basic) return opened;

  if (info.st_nlink != 1) throw refused(kName + " has " + std::to_string(info.st_nlink) + " links");
  struct stat named {};
  if (::fstatat(rootFD, kName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != info.st_dev ||
      named.st_ino != info.st_ino)
    throw refused(kName + " no longer names the opened file");
  try {
    SecureFileSystem::requireNoExtendedACL(leaseFD, kName, &KorvelinCoreError::unsafeProfilePath);
  } catch (const KorvelinCoreError& e) {
    throw refused(e.detail());
  }
  return opened;
}

std::string readLeaseBytes(int leaseFD, std::size_t size, const LeaseError& unreadable) {
  std::string bytes(size, '\0');
  if (platform::preadFull(leaseFD, bytes.data(), size, 0) != static_cast<long>(size))
    throw unreadable("could not read complete launch lease");
  return bytes;
}

LaunchLeaseFile readLaunchLease(int rootFD, LeaseChecks checks, const LeaseError& refused,
                                const LeaseError& unreadable) {
  ScopedFD fd(retryOnEintr([&] { return ::openat(rootFD, kName.c_str(), kLeaseOpenFlags); }));
  if (!fd) {
    const int error = errno;
    throw refused(error == ENOENT ? "there is no " + kName
                                  : "openat failed for " + kName + ": " + platform::errorText(error));
  }
  FileMetadata metadata = validatedLeaseMetadata(rootFD, fd.get(), checks, refused);
  std::string bytes = readLeaseBytes(fd.get(), static_cast<std::size_t>(metadata.info.st_size), unreadable);
  return LaunchLeaseFile{std::move(fd), metadata, std::move(bytes)};
}

}  // namespace korvelin
