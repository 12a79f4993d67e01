#include "core/process/LaunchLeaseFile.h"

#include <fcntl.h>

#include <cerrno>

#include "core/files/PrivateFile.h"
#include "core/platform/FileUtil.h"
#include "core/process/LaunchLease.h"

namespace korvelin {

using platform::ScopedFD;

namespace {

const std::string kName(kLeaseFileName);

}  // namespace

FileMetadata validatedLeaseMetadata(int rootFD, int leaseFD, const ErrorFactory& refused) {
  FileMetadata opened;
  opened.info =
      PrivateFile::verify(leaseFD, kName, refused,
                          {.noun = "lease", .sizes = {{1, static_cast<off_t>(kMaxLeaseBytes)}}});
  PrivateFile::requireStillNamed(rootFD, kName, opened.info, refused);
  return opened;
}

std::string readLeaseBytes(int leaseFD, std::size_t size, const ErrorFactory& unreadable) {
  std::string bytes(size, '\0');
  if (platform::preadFull(leaseFD, bytes.data(), size, 0) != static_cast<long>(size))
    throw unreadable("could not read complete launch lease");
  return bytes;
}

LaunchLeaseFile readLaunchLease(int rootFD,
                                const ErrorFactory& refused,
                                const ErrorFactory& unreadable) {
  ScopedFD fd = PrivateFile::open(rootFD, kName, O_RDONLY);
  if (!fd) {
    const int error = errno;
    throw refused(error == ENOENT ? "there is no " + kName : failureDetail(error, "openat", kName));
  }
  FileMetadata metadata = validatedLeaseMetadata(rootFD, fd.get(), refused);
  std::string bytes =
      readLeaseBytes(fd.get(), static_cast<std::size_t>(metadata.info.st_size), unreadable);
  return LaunchLeaseFile{std::move(fd), metadata, std::move(bytes)};
}

}  // namespace korvelin
