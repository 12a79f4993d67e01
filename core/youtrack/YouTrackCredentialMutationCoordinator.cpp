#include "core/youtrack/YouTrackCredentialMutationCoordinator.h"

namespace korvelin {

YouTrackCredentialMutationCoordinator& YouTrackCredentialMutationCoordinator::shared() {
  static YouTrackCredentialMutationCoordinator instance;
  return instance;
}

Uuid YouTrackCredentialMutationCoordinator::beginLaunch() {
  std::lock_guard guard(lock_);
  if (mutationInProgress_)
    throw KorvelinCoreError::youTrackCredentialMutationBlocked();
  Uuid ticket = Uuid::random();
  launchTickets_.insert(ticket);
  return ticket;
}

void YouTrackCredentialMutationCoordinator::finishLaunch(
    const Uuid& ticket,
    const std::optional<Uuid>& activeProfileID) {
  std::lock_guard guard(lock_);
  launchTickets_.erase(ticket);
  if (activeProfileID)
    activeRuns_.insert(*activeProfileID);
  changed_.notify_all();
}

void YouTrackCredentialMutationCoordinator::finishRun(const Uuid& profileID) {
  std::lock_guard guard(lock_);
  activeRuns_.erase(profileID);
  changed_.notify_all();
}

void YouTrackCredentialMutationCoordinator::enter(bool statusIsSafe) {
  std::lock_guard guard(lock_);
  if (!statusIsSafe || mutationInProgress_ || !launchTickets_.empty() || !activeRuns_.empty())
    throw KorvelinCoreError::youTrackCredentialMutationBlocked();
  mutationInProgress_ = true;
}

void YouTrackCredentialMutationCoordinator::leave() {
  std::lock_guard guard(lock_);
  mutationInProgress_ = false;
  changed_.notify_all();
}

}  // namespace korvelin
