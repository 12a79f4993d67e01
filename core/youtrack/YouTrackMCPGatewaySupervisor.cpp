#include "core/youtrack/YouTrackMCPGatewaySupervisor.h"

#include <sodium.h>

#include <vector>

#include "core/base/CoreError.h"
#include "core/base/HexCoding.h"
#include "core/youtrack/YouTrackGatewayRequest.h"

namespace korvelin {

YouTrackMCPGatewaySupervisor::YouTrackMCPGatewaySupervisor(YouTrackGatewayUpstream upstream,
                                                           YouTrackGatewayTiming timing)
    : upstream_(std::move(upstream)), timing_(timing) {}

YouTrackMCPGatewaySupervisor::~YouTrackMCPGatewaySupervisor() {
  std::map<Uuid, std::unique_ptr<GatewayServer>> servers;
  {
    std::lock_guard guard(lock_);
    servers.swap(servers_);
  }
  for (auto& [id, server] : servers)
    server->stop();
}

std::string YouTrackMCPGatewaySupervisor::makeCapability() {
  static const bool initialized = sodium_init() >= 0;
  if (!initialized)
    throw KorvelinCoreError::youTrackGatewayUnavailable();
  unsigned char bytes[32];
  randombytes_buf(bytes, sizeof bytes);
  std::string capability =
      hexEncoded(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
  sodium_memzero(bytes, sizeof bytes);
  return capability;
}

bool YouTrackMCPGatewaySupervisor::constantTimeEqual(std::string_view a, std::string_view b) {
  return korvelin::constantTimeEqual(a, b);
}

YouTrackGatewayHandle YouTrackMCPGatewaySupervisor::start(
    const Uuid& profileID,
    std::string token,
    const std::optional<ProfileProxyConfiguration>& proxy) {
  {
    std::lock_guard guard(lock_);
    if (servers_.contains(profileID) || starting_.contains(profileID))
      throw KorvelinCoreError::alreadyRunning(profileID);
    starting_.insert(profileID);
  }
  struct Starting {
    YouTrackMCPGatewaySupervisor& self;
    const Uuid& id;
    ~Starting() {
      std::lock_guard guard(self.lock_);
      self.starting_.erase(id);
    }
  } starting{*this, profileID};

  YouTrackGatewayHandle handle{profileID, Uuid::random(), 0, makeCapability()};
  std::optional<ProfileProxyConfiguration> route = proxy;
  if (route) {
    if (route->port == 0)
      throw KorvelinCoreError::invalidProxyConfiguration("Proxy port must be between 1 and 65535.");
    route->host = ProfileProxyConfiguration::normalizedHost(route->host);
    if (route->scheme == ProfileProxyScheme::https)
      throw KorvelinCoreError::invalidProxyConfiguration(
          "HTTPS proxy transport is not supported by the YouTrack gateway.");
  }
  auto server = std::make_unique<GatewayServer>(handle.capability, upstream_, std::move(token),
                                                route, timing_);
  handle.port = server->start();
  std::lock_guard guard(lock_);
  servers_.emplace(profileID, std::move(server));
  return handle;
}

void YouTrackMCPGatewaySupervisor::stop(const YouTrackGatewayHandle& handle) {
  stopWhere(handle.profileID, &handle.capability);
}

void YouTrackMCPGatewaySupervisor::stop(const Uuid& profileID) {
  stopWhere(profileID, nullptr);
}

void YouTrackMCPGatewaySupervisor::stopWhere(const Uuid& profileID, const std::string* capability) {
  std::unique_ptr<GatewayServer> server;
  {
    std::lock_guard guard(lock_);
    auto found = servers_.find(profileID);
    if (found == servers_.end() ||
        (capability && !constantTimeEqual(found->second->capability(), *capability)))
      return;
    server = std::move(found->second);
    servers_.erase(found);
  }
  server->stop();
}

}  // namespace korvelin
