#include "core/host/HostYouTrackGateways.h"

#include "core/apps/ManagedApplicationSupport.h"
#include "core/base/CoreError.h"
#include "core/profile/ProfileRepository.h"
#include "core/youtrack/YouTrackCredentialMutationCoordinator.h"
#include "core/youtrack/YouTrackCredentialStore.h"

namespace korvelin {

struct HostYouTrackGateways::Served {
  Uuid runID;
  YouTrackGatewayHandle handle;
  CodexMCPConfigReceipt receipt;
  FileLock inUse;
};

HostYouTrackGateways::HostYouTrackGateways(std::string baseDirectory,
                                           std::string defaultBaseDirectory,
                                           YouTrackGatewayUpstream upstream,
                                           SidecarRoute sidecarRoute,
                                           YouTrackGatewayTiming timing)
    : base_(std::move(baseDirectory)),
      defaultBase_(std::move(defaultBaseDirectory)),
      sidecarRoute_(std::move(sidecarRoute)),
      gateways_(std::move(upstream), timing) {
  // A block a crashed host left names a gateway that is gone, and Codex
  // does not start a session without a required server that answers: every
  // Codex profile's block goes now (an interrupted change rolled back), and
  // a run this host re-adopts is given a fresh one.
  try {
    for (const auto& profile : ProfileRepository(base_, defaultBase_).load().profiles)
      if (profile.adapterIdentifier == ManagedApplicationSupport::codexAdapterIdentifier)
        try {
          provisioner_.reconcile(ProfilePaths(profile.id, base_));
        } catch (const KorvelinCoreError&) {
        }
  } catch (const KorvelinCoreError&) {
  }
}

HostYouTrackGateways::~HostYouTrackGateways() {
  // Runs the host leaves running keep their block until the next host
  // re-adopts them; their gateways end here, with the supervisor.
  std::lock_guard guard(lock_);
  for (auto& [id, served] : served_)
    YouTrackCredentialMutationCoordinator::shared().finishRun(id);
}

std::optional<HostYouTrackGateways::Route> HostYouTrackGateways::routeOf(
    const ProfilePaths& paths) const {
  const auto profile = catalogedCodexProfile(base_, defaultBase_, paths.profileID());
  if (!profile)
    return std::nullopt;
  return hostedServiceRoute(*profile, sidecarRoute_);
}

void HostYouTrackGateways::runStarted(const ProfilePaths& paths, const ProcessSnapshot& run) {
  const auto route = routeOf(paths);
  YouTrackFileCredentialStore store(base_);
  if (!route || store.status() != YouTrackCredentialStatus::configured)
    return;
  const Uuid id = paths.profileID();
  auto& coordinator = YouTrackCredentialMutationCoordinator::shared();
  const Uuid ticket = coordinator.beginLaunch();
  auto served = std::make_shared<Served>();
  served->runID = run.runID;
  bool started = false;
  try {
    served->inUse = holdYouTrackToken(base_, FileLock::Mode::shared);
    served->handle = gateways_.start(id, store.readToken(), *route);
    started = true;
    served->receipt = provisioner_.install(paths, served->handle.generation, served->handle.port,
                                           served->handle.capability);
  } catch (...) {
    if (started)
      gateways_.stop(served->handle);
    coordinator.finishLaunch(ticket, std::nullopt);
    throw;
  }
  coordinator.finishLaunch(ticket, id);
  std::lock_guard guard(lock_);
  served_[id] = std::move(served);
}

void HostYouTrackGateways::runEnded(const ProfilePaths& paths, const ProcessSnapshot& run) {
  std::shared_ptr<Served> served;
  {
    std::lock_guard guard(lock_);
    const auto found = served_.find(paths.profileID());
    if (found == served_.end() || found->second->runID != run.runID)
      return;
    served = std::move(found->second);
    served_.erase(found);
  }
  // The block goes first, so that Codex is never pointed at a closed port;
  // the token is released last, once nothing of the run can use it.
  try {
    provisioner_.remove(paths, served->receipt);
  } catch (const KorvelinCoreError&) {
    // Changed by the user meanwhile: left as it is, the next install or
    // reconcile replaces a stale block.
  }
  gateways_.stop(served->handle);
  served->inUse.unlock();
  YouTrackCredentialMutationCoordinator::shared().finishRun(paths.profileID());
}

}  // namespace korvelin
