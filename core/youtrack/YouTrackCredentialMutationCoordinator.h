#pragma once

// Keeps the YouTrack token still while anything may be using it: a token
// change cannot begin while a launch is in progress or a run that uses the
// token is registered, and a launch cannot begin during a change.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <set>

#include "core/base/CoreError.h"
#include "core/base/Uuid.h"

namespace korvelin {

class YouTrackCredentialMutationCoordinator {
 public:
  // The one instance of the process.
  static YouTrackCredentialMutationCoordinator& shared();

  YouTrackCredentialMutationCoordinator() = default;
  YouTrackCredentialMutationCoordinator(const YouTrackCredentialMutationCoordinator&) = delete;
  YouTrackCredentialMutationCoordinator& operator=(const YouTrackCredentialMutationCoordinator&) =
      delete;

  // A ticket for a launch; throws `youTrackCredentialMutationBlocked`
  // during a token change.
  Uuid beginLaunch();
  // Ends the launch; `activeProfileID` registers the run it started when
  // that run uses the token.
  void finishLaunch(const Uuid& ticket, const std::optional<Uuid>& activeProfileID);
  void finishRun(const Uuid& profileID);

  // Runs `body` as a token change: only when the caller's own view is safe
  // and no launch, run or other change is registered, else throws
  // `youTrackCredentialMutationBlocked`. The lock is not held while the body
  // runs, so a launch tried meanwhile fails at once instead of waiting.
  template <typename Body>
  auto perform(bool statusIsSafe, Body&& body) -> decltype(body()) {
    enter(statusIsSafe);
    struct Leave {
      YouTrackCredentialMutationCoordinator& self;
      ~Leave() { self.leave(); }
    } leave{*this};
    return body();
  }

 private:
  void enter(bool statusIsSafe);
  void leave();

  std::mutex lock_;
  std::condition_variable changed_;
  std::set<Uuid> launchTickets_;
  std::set<Uuid> activeRuns_;
  bool mutationInProgress_ = false;
};

}  // namespace korvelin
