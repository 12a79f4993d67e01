#pragma once

// The host's YouTrack gateways: one per running Codex profile, while a token
// is stored. When a run of a catalogued Codex profile starts (or is
// re-adopted), the gateway is started on the profile's route, the managed MCP
// server is written into the profile's Codex configuration, and the token is
// held in use (see `holdYouTrackToken`) so that no process changes it
// underneath the run. When the run ends, the block is taken out, the gateway
// stopped and the token released. A host that exits stops its gateways; a
// block it leaves for a run still going is removed when the next host
// starts, and replaced when that host re-adopts the run.
//
// The route: the profile's fixed proxy, the system route for a profile
// without one, and for a profile on a saved connection the sidecar the host
// started or proved for it (`sidecarRoute`). A profile on a saved
// connection whose sidecar is not serving gets no gateway: the token never
// takes a route the profile did not choose.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/activity/ProfileUsageRoute.h"
#include "core/base/Uuid.h"
#include "core/codex/CodexMCPConfigProvisioner.h"
#include "core/host/ProfileHost.h"
#include "core/profile/ProfileProxyConfiguration.h"
#include "core/youtrack/YouTrackMCPGatewaySupervisor.h"

namespace korvelin {

class HostYouTrackGateways : public HostRunService {
 public:
  using SidecarRoute = SidecarRouteLookup;
  HostYouTrackGateways(std::string baseDirectory,
                       std::string defaultBaseDirectory,
                       YouTrackGatewayUpstream upstream,
                       SidecarRoute sidecarRoute,
                       YouTrackGatewayTiming timing = {});
  ~HostYouTrackGateways() override;

  // Throws what the first failing step throws, after undoing the ones before
  // it; a profile that does not use the gateway is left alone.
  void runStarted(const ProfilePaths& paths, const ProcessSnapshot& run) override;
  void runEnded(const ProfilePaths& paths, const ProcessSnapshot& run) override;

  // Where a profile's gateway sends the token; absent when the profile does
  // not use one (not a catalogued Codex profile, or a saved connection
  // without its sidecar). The optional inside is the proxy, if any.
  using Route = std::optional<ProfileProxyConfiguration>;
  std::optional<Route> routeOf(const ProfilePaths& paths) const;

 private:
  struct Served;

  const std::string base_;
  const std::string defaultBase_;
  const SidecarRoute sidecarRoute_;
  YouTrackMCPGatewaySupervisor gateways_;
  CodexMCPConfigProvisioner provisioner_;
  std::mutex lock_;
  std::map<Uuid, std::shared_ptr<Served>> served_;
};

}  // namespace korvelin
