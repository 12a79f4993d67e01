#pragma once

// One running gateway per profile run, each with a fresh capability. The
// host passes the handle's generation, port and capability to the Codex
// configuration provisioner, and stops the gateway when the run ends.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/base/Uuid.h"
#include "core/profile/ProfileProxyConfiguration.h"
#include "core/youtrack/YouTrackMCPGateway.h"

namespace korvelin {

struct YouTrackGatewayHandle {
  Uuid profileID;
  Uuid generation;  // fresh per start
  std::uint16_t port = 0;
  std::string capability;  // 64 lower-case hexadecimal digits
  bool operator==(const YouTrackGatewayHandle&) const = default;
};

class YouTrackMCPGatewaySupervisor {
 public:
  explicit YouTrackMCPGatewaySupervisor(YouTrackGatewayUpstream upstream,
                                        YouTrackGatewayTiming timing = {});
  ~YouTrackMCPGatewaySupervisor();  // stops every gateway
  YouTrackMCPGatewaySupervisor(const YouTrackMCPGatewaySupervisor&) = delete;
  YouTrackMCPGatewaySupervisor& operator=(const YouTrackMCPGatewaySupervisor&) = delete;

  // Starts the profile's gateway. Throws `alreadyRunning` while the profile
  // has one or is starting one, `invalidProxyConfiguration` for a proxy
  // with port 0, an invalid host or the https scheme, and
  // `youTrackGatewayUnavailable` when no listener or capability can be had.
  YouTrackGatewayHandle start(const Uuid& profileID,
                              std::string token,
                              const std::optional<ProfileProxyConfiguration>& proxy);
  // Stops the gateway only while it is still the one `handle` was given for.
  void stop(const YouTrackGatewayHandle& handle);
  void stop(const Uuid& profileID);

  // 32 random bytes as 64 lower-case hexadecimal digits.
  static std::string makeCapability();
  static bool constantTimeEqual(std::string_view a, std::string_view b);

 private:
  void stopWhere(const Uuid& profileID, const std::string* capability);

  const YouTrackGatewayUpstream upstream_;
  const YouTrackGatewayTiming timing_;
  std::mutex lock_;
  std::map<Uuid, std::unique_ptr<GatewayServer>> servers_;
  std::set<Uuid> starting_;
};

}  // namespace korvelin
