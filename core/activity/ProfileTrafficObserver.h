#pragma once

// Proof that a profile's application really uses its proxy sidecar: an
// established loopback TCP connection from some process of the profile's
// process tree to the proxy port, whose other end is held by the verified
// engine process. Only the kernel's process and socket tables are read; the
// traffic itself is never touched. Any doubt (a process that vanished or was
// replaced, a table that could not be read whole, a tree that changed while
// looking) is missing evidence, never a yes or a no.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"
#include "core/platform/ProcessInfo.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/profile/ProfileProxyConfiguration.h"

namespace korvelin {

struct ProfileTrafficObservationContext {
  Uuid runID;                // the supervised run
  LiveProcessIdentity root;  // the profile's root process
  LiveProcessIdentity xray;  // the proxy engine
  ProfileProxyConfiguration proxy{ProfileProxyScheme::socks5, "127.0.0.1", 1};
  Uuid generation;  // the sidecar run serving `proxy`

  bool operator==(const ProfileTrafficObservationContext&) const = default;
};

struct ProfileTrafficState {
  enum class Kind { observed, notObserved, unavailable };
  Kind kind = Kind::unavailable;
  double observedAt = 0;  // seconds since 1970, for `observed`

  static ProfileTrafficState observed(double at) { return {Kind::observed, at}; }
  static ProfileTrafficState notObserved() { return {Kind::notObserved, 0}; }
  static ProfileTrafficState unavailable() { return {Kind::unavailable, 0}; }
  bool isObserved() const { return kind == Kind::observed; }

  bool operator==(const ProfileTrafficState&) const = default;
};

// "observed", "notObserved", "unavailable".
std::string_view rawValue(ProfileTrafficState::Kind kind);
// {"state": ..., "observedAt": seconds since 1970 (observed only)}.
void to_json(nlohmann::json& json, const ProfileTrafficState& state);

using ObservedTCPSocket = platform::TcpSocketRecord;

struct ProfileTrafficObserver {
  // Each table reader is replaceable so that the rules can be exercised
  // without a live system. Absent always means "could not be read whole".
  using IdentityReader = std::function<std::optional<LiveProcessIdentity>(std::int32_t pid)>;
  // The children of a process, sorted.
  using ChildrenReader = std::function<std::optional<std::vector<std::int32_t>>(std::int32_t pid)>;
  using SocketReader =
      std::function<std::optional<std::vector<ObservedTCPSocket>>(std::int32_t pid)>;

  // A process may have at most this many children (129 or more could have
  // been truncated), and a tree at most kMaxNodes + 1 processes.
  static constexpr std::size_t kChildRoom = 129;
  static constexpr std::size_t kMaxNodes = 512;

  IdentityReader identity = &LiveProcessIdentity::capture;
  // Unset: each snapshot of the tree reads the whole process table once and
  // answers every child listing of that walk from it.
  ChildrenReader children;
  SocketReader sockets = &liveSockets;

  // True when the connection is observed, false when it is confidently
  // absent, absent when the evidence is unavailable. Never throws.
  std::optional<bool> observe(const ProfileTrafficObservationContext& context) const;
  // The answer as the host shows it: observed at `now`, not observed, or
  // unavailable.
  ProfileTrafficState state(const ProfileTrafficObservationContext& context, double now) const;

  // The children of `pid`, sorted; absent when the table cannot be read, the
  // process has kChildRoom children or more, or a child id is below 2.
  static std::optional<std::vector<std::int32_t>> liveChildren(std::int32_t pid);
  // The TCP sockets `pid` holds.
  static std::optional<std::vector<ObservedTCPSocket>> liveSockets(std::int32_t pid);
  // The children of `pid` in a table of (pid, parent) pairs, under the rules
  // of `liveChildren`.
  static std::optional<std::vector<std::int32_t>> childrenIn(
      const std::vector<std::pair<std::int32_t, std::int32_t>>& parents,
      std::int32_t pid);
};

}  // namespace korvelin
