#pragma once

// Opening and reading a profile's launch lease ".launch.lock". The stale-lease
// recovery of the process supervisor and the re-adoption of a still-running
// profile read the same file by the same rules; re-adoption, which is about
// to trust the lease to name a live process, checks more.

#include <cstddef>
#include <functional>
#include <string>

#include "core/base/CoreError.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/ScopedFD.h"

namespace korvelin {

enum class LeaseChecks {
  // A regular file of the effective user, permission bits exactly 0600,
  // 1...16384 bytes.
  basic,
  // Also exactly one link, no extended ACL entry, and the name in the root
  // still naming the opened file.
  strict,
};

// Turns a reason (a short text for people) into the caller's error.
using LeaseError = std::function<KorvelinCoreError(const std::string& reason)>;

struct LaunchLeaseFile {
  platform::ScopedFD fd;
  FileMetadata metadata;  // of the open descriptor
  std::string bytes;      // the whole file
};

// Opens ".launch.lock" in the verified profile root `rootFD` read-only,
// non-blocking and without following a link, checks it and reads it whole.
// A missing lease and every failed check throw `refused(reason)`; a lease
// that passed the checks but could not be read whole throws
// `unreadable("could not read complete launch lease")`.
LaunchLeaseFile readLaunchLease(int rootFD, LeaseChecks checks, const LeaseError& refused,
                                const LeaseError& unreadable);

// The checks of `readLaunchLease`, again, on a lease that is already open.
FileMetadata validatedLeaseMetadata(int rootFD, int leaseFD, LeaseChecks checks, const LeaseError& refused);

// Exactly `size` bytes from the start of the lease, with positioned reads.
std::string readLeaseBytes(int leaseFD, std::size_t size, const LeaseError& unreadable);

}  // namespace korvelin
