#pragma once

// The network route a profile's application was started with, as its command
// line shows it, and how that route is reconciled with what the profile is
// configured to use. A route that cannot be proved is `unavailable`, never
// `system`: the host must not believe traffic leaves directly when it may not.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/profile/AppProfile.h"
#include "core/profile/ProfileProxyConfiguration.h"

namespace korvelin {

class ProfileUsageRoute {
 public:
  enum class Kind { proxy, unavailable, system };

  // `unavailable`.
  ProfileUsageRoute() = default;

  // An explicit proxy; `generation` names the sidecar run that serves it, when
  // one does.
  static ProfileUsageRoute proxy(ProfileProxyConfiguration configuration,
                                 std::optional<Uuid> generation = std::nullopt);
  static ProfileUsageRoute unavailable();
  static ProfileUsageRoute system();

  // The route a Chromium-style argument vector asks for: `system` when no
  // argument touches proxying or host resolution; a proxy route (without
  // generation) for exactly one such argument, "--proxy-server=" followed by
  // the canonical "scheme://host:port" of an http, https or socks5 proxy;
  // `unavailable` for everything else (a bypass list, resolver rules, a "--"
  // separator, several proxy options, a value written any other way).
  static ProfileUsageRoute observed(const std::vector<std::string>& arguments);

  // Reconciles this observed route with the profile it was found running.
  // Without a saved connection, the profile's manual proxy (or, with none,
  // the system route) must be what was observed. With a saved connection, an
  // observed proxy must point exactly where the verified sidecar route
  // (which must carry a generation) points, and the verified route is the
  // answer. Every mismatch is `unavailable`.
  ProfileUsageRoute matchingRestored(const AppProfile& profile,
                                     const ProfileUsageRoute& verifiedVLESS) const;

  Kind kind() const { return kind_; }
  // Present only for a proxy route.
  const std::optional<ProfileProxyConfiguration>& configuration() const { return configuration_; }
  const std::optional<Uuid>& generation() const { return generation_; }

  // "system", "unavailable", or the proxy's URI followed by
  // " (generation <UUID>)" when it has one.
  std::string description() const;

  bool operator==(const ProfileUsageRoute&) const = default;

 private:
  ProfileUsageRoute(Kind kind,
                    std::optional<ProfileProxyConfiguration> configuration,
                    std::optional<Uuid> generation);

  Kind kind_ = Kind::unavailable;
  std::optional<ProfileProxyConfiguration> configuration_;
  std::optional<Uuid> generation_;
};

std::string_view rawValue(ProfileUsageRoute::Kind kind);

// {"kind": "proxy" | "system" | "unavailable"}, a proxy route adding "proxy"
// (the configuration's JSON object) and, when present, "generation".
void to_json(nlohmann::json& json, const ProfileUsageRoute& route);

// The guardian and the Xray child of a sidecar started by an earlier version
// of the core, whose guardian cannot be asked for its status.
struct LegacyProxyIdentity {
  LiveProcessIdentity guardian;
  LiveProcessIdentity child;

  bool operator==(const LegacyProxyIdentity&) const = default;
};

// What observing a proxy sidecar that outlived the host found: the status,
// the route proved (`unavailable` unless the status is `available`), and the
// identities of the sidecar's processes.
struct RestoredProxyObservation {
  RestoredProxyStatus status = RestoredProxyStatus::notApplicable;
  ProfileUsageRoute usageRoute;
  std::optional<LegacyProxyIdentity> legacyIdentity;
  std::optional<LiveProcessIdentity> xrayIdentity;

  bool operator==(const RestoredProxyObservation&) const = default;
};

// {"status", "usageRoute"} and, when present, "legacyIdentity" ({"guardian",
// "child"}) and "xrayIdentity".
void to_json(nlohmann::json& json, const RestoredProxyObservation& observation);

}  // namespace korvelin
