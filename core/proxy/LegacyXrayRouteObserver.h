#pragma once

// Proves from the outside that a sidecar started by an earlier version of
// the core, whose guardian cannot be asked for its status, still carries a
// profile's traffic: process identities, argument vectors, the process tree,
// the executables' bundle and the listening socket must all tell the same
// story, before and after they are read.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/activity/ProfileUsageRoute.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/XrayDurableStateStore.h"

namespace korvelin {

struct ProcessSnapshot;

struct LegacyXrayRouteObserver {
  using IdentityReader = std::function<std::optional<LiveProcessIdentity>(std::int32_t pid)>;
  using ArgumentsReader = std::function<std::optional<std::vector<std::string>>(std::int32_t pid)>;
  using ChildrenReader = std::function<std::optional<std::vector<std::int32_t>>(std::int32_t pid)>;
  // (guardian, engine): may throw.
  using BinaryVerifier =
      std::function<bool(const LiveProcessIdentity&, const LiveProcessIdentity&)>;
  using StateReader = std::function<XrayDurableState(const ProfilePaths&)>;
  using ListenerVerifier = std::function<bool(std::int32_t pid, std::uint16_t port)>;

  IdentityReader identity = &LiveProcessIdentity::capture;
  ArgumentsReader arguments = &liveArguments;
  ChildrenReader children = &liveChildren;
  BinaryVerifier verifyBinaries = &signedBundleResources;
  StateReader readState = [](const ProfilePaths& paths) {
    return XrayDurableStateStore().readOnly(paths);
  };
  ListenerVerifier verifyListener;  // the supervisor's

  // `available` with the proxy route, both identities and the engine's; every
  // check that does not hold throws proxyDisconnected, and the errors of
  // readState, verifyBinaries and verifyListener pass through.
  RestoredProxyObservation observe(const XrayDurableState& record,
                                   const ProfilePaths& paths,
                                   const ProcessSnapshot& run,
                                   const LiveProcessIdentity& verifiedRoot) const;

  // The children of `pid`, sorted; absent when 129 or more, or unreadable.
  static std::optional<std::vector<std::int32_t>> liveChildren(std::int32_t pid);
  // Both executables sit in the same application bundle
  // (NAME.app/Contents/Resources/), are named by their resolved paths, pass
  // the engine check and are trusted as installed: on Linux, the file and
  // every directory above it owned by root or by us and writable by neither
  // group nor others.
  static bool signedBundleResources(const LiveProcessIdentity& guardian,
                                    const LiveProcessIdentity& child);
};

}  // namespace korvelin
