#pragma once

// The core's side of a guardian's control socket: one request per
// connection, with the guardian proved to be the process recorded when it was
// started, before and after the exchange.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/Uuid.h"
#include "core/process/LiveProcessIdentity.h"

namespace korvelin {

// What a durable sidecar record says about the guardian it started; any of
// it may be missing from an old or damaged record.
struct GuardianEndpoint {
  std::optional<std::int64_t> protocolVersion;  // 2 for the current protocol
  std::optional<LiveProcessIdentity> guardianIdentity;
  std::optional<std::int32_t> guardianPID;
  std::optional<Uuid> generation;
  std::optional<std::string> socketPath;
  std::optional<std::string> capability;

  bool operator==(const GuardianEndpoint&) const = default;
};

inline constexpr std::int64_t kGuardianProtocolVersion = 2;

// The control socket of the guardian run `generation`: "korvelin-xray-" + the
// lower-case generation + ".sock" in the system's temporary directory.
std::string guardianSocketPath(const Uuid& generation);

// One exchange with a current-protocol guardian: sends `command` (and
// `payload`, for ATTACH) and returns the reply line without its line feed.
// The caller judges the reply ("STOPPED", "ATTACHED", "STATUS ..."). Refuses
// an incomplete record, a socket file that is not this user's 0600 socket or
// is replaced during the exchange, a peer that is not the recorded guardian,
// and a guardian that is no longer current after the reply (except for STOP,
// after which it is expected to be gone). Every failure is
// KorvelinCoreError::proxyDisconnected.
std::string requestGuardian(const GuardianEndpoint& endpoint,
                            std::string_view command,
                            std::optional<std::string_view> payload = std::nullopt);

// Stops a guardian recorded by an earlier version of the core, which knows
// only "STOP " + capability and answers exactly "STOPPED". Needs the socket
// path, the capability and the guardian's pid of `endpoint`. Every failure is
// KorvelinCoreError::profileRecoveryRequired for `profileID`.
void stopLegacyGuardian(const GuardianEndpoint& endpoint, const Uuid& profileID);

}  // namespace korvelin
