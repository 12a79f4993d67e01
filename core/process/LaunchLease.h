#pragma once

// The text formats of a supervised run's files: the launch lease
// ".launch.lock" (one or two JSON lines), the launch log
// "launch-<run>.jsonl" (one event per line) and the recovery evidence
// "recovery-<run>.jsonl". Files themselves are handled by ProcessSupervisor.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/Uuid.h"
#include "core/process/LiveProcessIdentity.h"

namespace korvelin {

inline constexpr std::string_view kLeaseFileName = ".launch.lock";
inline constexpr std::size_t kMaxLeaseBytes = 16384;

// A lease line as written after the child was captured (line 2), or a legacy
// line without an identity.
struct DurableProcessLease {
  Uuid runID;
  double startedAt = 0;  // seconds since 1970
  std::int32_t rootPID = 0;
  std::int32_t processGroupID = 0;
  std::string state;
  std::optional<LiveProcessIdentity> identity;

  bool operator==(const DurableProcessLease&) const = default;
};

// One lease line, sorted keys, without the line feed. Absent values are
// omitted: the starting line has no rootPID, processGroupID or identity.
std::string leaseJSON(const Uuid& runID,
                      double startedAt,
                      std::optional<std::int32_t> rootPID,
                      std::optional<std::int32_t> processGroupID,
                      std::string_view state,
                      const std::optional<LiveProcessIdentity>& identity);

// The recorded run of a lease file's bytes, or absent: not UTF-8; not one or
// two non-empty lines; a last line that is not a "running" lease; a first
// line that is not the "starting" line of the same run with exactly the same
// startedAt. A lease holding only its starting line never parses.
std::optional<DurableProcessLease> parseDurableProcessLease(std::string_view data);

// "launch-<run in lower case>.jsonl", the name of a run's launch log in the
// profile's "logs" directory.
std::string launchLogName(const Uuid& runID);

// One launch-log line without the line feed.
std::string launchEventJSON(std::string_view event,
                            const Uuid& profileID,
                            const Uuid& runID,
                            double timestamp,
                            std::optional<std::int32_t> rootPID,
                            std::optional<std::int32_t> exitCode,
                            std::optional<std::int32_t> terminationSignal);

// The recovery evidence line for a recovered lease: every non-empty line of
// `leaseBytes` parsed as a JSON object, in file order, under "leaseJournal".
// Throws profileRecoveryRequired(profileID) when the bytes are not UTF-8 or a
// line is not a JSON object.
std::string recoveryEvidenceJSON(const Uuid& profileID,
                                 const Uuid& runID,
                                 double recoveredAt,
                                 std::string_view leaseBytes);

// Seconds since 1970 with fraction, as the lease and the launch log store time.
double currentUnixTime();

}  // namespace korvelin
