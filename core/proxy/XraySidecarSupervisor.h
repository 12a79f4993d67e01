#pragma once

// The per-profile proxy sidecars: a guardian process (or, in direct mode, the
// engine itself) serving a profile's VLESS connection on a loopback SOCKS5
// port, verified before it is handed out, recorded durably so that a
// restarted host can find it again, attached to the profile's application so
// that it outlives the host but not the application, and stopped or
// recovered on request.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "core/activity/ProfileUsageRoute.h"
#include "core/base/Uuid.h"
#include "core/guardian/GuardianClient.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileProxyConfiguration.h"
#include "core/proxy/VLESSRuntimeHealth.h"
#include "core/proxy/XrayDurableStateStore.h"

namespace korvelin {

struct ProcessSnapshot;
struct VLESSRealityConfiguration;

struct XraySidecarHandle {
  Uuid profileID;
  Uuid connectionID;
  Uuid generation;             // the guardian run
  std::int32_t processID = 0;  // the engine
  std::uint16_t loopbackPort = 0;
  std::optional<LiveProcessIdentity> processIdentity;  // the engine's

  // socks5://127.0.0.1:port and the same with the HTTP scheme.
  ProfileProxyConfiguration localProxy() const;
  ProfileProxyConfiguration localHTTPProxy() const;

  bool operator==(const XraySidecarHandle&) const = default;
};

void to_json(nlohmann::json& json, const XraySidecarHandle& handle);

// How to reach the guardian a durable record names.
GuardianEndpoint endpointOf(const XrayDurableState& record);

// True for text that is an IPv4 or IPv6 address.
bool isIPAddress(std::string_view text);

class XraySidecarSupervisor {
 public:
  // Every outside effect goes through one of these.
  using BinaryResolver = std::function<std::string()>;  // the engine's path
  // The address seen outside, asked through the port within `timeLimit` seconds.
  using EgressProbe = std::function<std::string(std::uint16_t port, double timeLimit)>;
  using ListenerVerifier = std::function<bool(std::int32_t processID, std::uint16_t port)>;
  using GuardianResolver = std::function<std::string()>;  // empty: direct mode
  using Clock = std::function<double()>;                  // seconds since 1970

  static constexpr double kPreflightTimeout = 12.0;
  static constexpr double kReadyLineTimeout = 12.0;
  static constexpr const char* kContinuityWarning =
      "Proxy continuity could not be confirmed. Keep Korvelin open while this profile is running.";
  // Where the egress probe asks by default: a public HTTPS endpoint that
  // answers with the caller's address as plain text.
  static constexpr const char* kDefaultEgressProbeURL = "https://api.ipify.org";

  XraySidecarSupervisor(BinaryResolver binaryResolver,
                        EgressProbe egressProbe,
                        ListenerVerifier listenerVerifier,
                        GuardianResolver guardianResolver,
                        Clock now = nullptr,
                        double preflightTimeout = kPreflightTimeout,
                        XrayDurableStateStore::FaultHook durableFaultHook = nullptr);
  // Closes the standard input of every guardian still owned: an unattached
  // guardian then stops its engine; an attached one keeps serving its
  // application.
  ~XraySidecarSupervisor();
  XraySidecarSupervisor(const XraySidecarSupervisor&) = delete;
  XraySidecarSupervisor& operator=(const XraySidecarSupervisor&) = delete;

  // The engine at `path` must be a regular file, not writable by group or
  // others, executable by us; otherwise `xrayUnavailable`. Returns `path`.
  static std::string validateBinary(const std::string& path);
  // A free TCP port on 127.0.0.1 (`proxyPreflightFailed` when none).
  static std::uint16_t allocateLoopbackPort();
  // lsof says `processID` listens on 127.0.0.1:`port`.
  static bool lsofListenerVerifier(std::int32_t processID, std::uint16_t port);
  // curl through socks5h://127.0.0.1:`port` to `url`, for at most
  // `timeLimit` seconds; the trimmed answer, or `proxyPreflightFailed`.
  static constexpr double kProbeTimeLimit = 8.0;
  static std::string curlEgressProbe(std::uint16_t port,
                                     const std::string& url = kDefaultEgressProbeURL,
                                     double timeLimit = kProbeTimeLimit);

  void initializeManagedProfile(const ProfilePaths& paths);

  // A guarded sidecar: the guardian runs the engine and the durable record
  // knows it.
  XraySidecarHandle start(const Uuid& profileID,
                          const Uuid& connectionID,
                          const VLESSRealityConfiguration& configuration,
                          const ProfilePaths& paths);
  // A direct sidecar: the engine is our own child; nothing is recorded.
  XraySidecarHandle start(const Uuid& profileID,
                          const Uuid& connectionID,
                          const VLESSRealityConfiguration& configuration);

  std::optional<XraySidecarHandle> handle(const Uuid& profileID);
  std::optional<VLESSRuntimeHealth> runtimeHealth(const Uuid& profileID,
                                                  double minimumProbeInterval);
  std::optional<std::string> assertHealthy(const Uuid& profileID, double minimumProbeInterval);
  void attach(const Uuid& profileID, const ProcessSnapshot& run);
  std::optional<std::string> continuityWarning(const Uuid& profileID);
  void stop(const Uuid& profileID, const std::optional<Uuid>& generation);
  void stopAndWait(const Uuid& profileID,
                   const std::optional<Uuid>& generation,
                   const ProfilePaths& paths);
  bool hasDurableSidecar(const Uuid& profileID, const ProfilePaths& paths);
  void recover(const Uuid& profileID, const ProfilePaths& paths);

  // After a restart of the host: does the still-running `run` of the profile
  // provably send its traffic through the sidecar of `connectionID`? Reads
  // the durable record and asks the guardian (or, for a sidecar of an
  // earlier core, looks at it from the outside, which needs the verified
  // `rootIdentity`), without changing anything. `available` with the route
  // and the engine's identity; `unavailable` when there is no sidecar for this
  // profile and connection or its guardian is gone; `unverified` for every
  // doubt. Never throws, takes no lock of the supervisor and reads none of its
  // entries.
  RestoredProxyObservation observeRestoredProxyRoute(
      const ProfilePaths& paths,
      const Uuid& connectionID,
      const ProcessSnapshot& run,
      const std::optional<LiveProcessIdentity>& rootIdentity) const;
  RestoredProxyStatus observeRestoredProxy(const ProfilePaths& paths,
                                           const Uuid& connectionID,
                                           const ProcessSnapshot& run) const;

  struct Entry;

 private:
  XraySidecarHandle startGuarded(const Uuid& profileID,
                                 const Uuid& connectionID,
                                 const VLESSRealityConfiguration& configuration,
                                 const ProfilePaths& paths,
                                 const XrayDurableState& current,
                                 XrayDurableStateWriter& writer);
  // Waits until the engine listens and reaches the outside; the probe's text.
  std::string awaitReadiness(const std::function<bool()>& stillRunning,
                             std::int32_t engine,
                             std::uint16_t port);
  // Records a verified sidecar whose probe answered `probe`; a profile that
  // gained a sidecar meanwhile makes this start fail as already running.
  XraySidecarHandle admit(const Uuid& profileID,
                          std::shared_ptr<Entry> entry,
                          const std::string& probe);
  void stopEntry(Entry& entry);

  std::mutex lock_;
  BinaryResolver resolveBinary_;
  EgressProbe probe_;
  ListenerVerifier verifyListener_;
  GuardianResolver resolveGuardian_;
  Clock now_;
  double preflightTimeout_;
  XrayDurableStateStore durableState_;
  std::map<Uuid, std::shared_ptr<Entry>> entries_;
};

}  // namespace korvelin
