#pragma once

// Opening and reading a profile's launch lease ".launch.lock". The stale-lease
// recovery of the process supervisor and the re-adoption of a still-running
// profile read the same file by the same rules.

#include <cstddef>
#include <string>

#include "core/base/CoreError.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/ScopedFD.h"

namespace korvelin {

struct LaunchLeaseFile {
  platform::ScopedFD fd;
  FileMetadata metadata;  // of the open descriptor
  std::string bytes;      // the whole file
};

// Opens ".launch.lock" in the verified profile root `rootFD` read-only,
// non-blocking and without following a link, checks it and reads it whole.
// The lease must be a private file (`PrivateFile::verify`) of 1...16384 bytes
// that the name in the root still names. A missing lease and every failed
// check throw `refused(reason)`; a lease that passed the checks but could not
// be read whole throws `unreadable("could not read complete launch lease")`.
LaunchLeaseFile readLaunchLease(int rootFD,
                                const ErrorFactory& refused,
                                const ErrorFactory& unreadable);

// The checks of `readLaunchLease`, again, on a lease that is already open.
FileMetadata validatedLeaseMetadata(int rootFD, int leaseFD, const ErrorFactory& refused);

// Exactly `size` bytes from the start of the lease, with positioned reads.
std::string readLeaseBytes(int leaseFD, std::size_t size, const ErrorFactory& unreadable);

}  // namespace korvelin
