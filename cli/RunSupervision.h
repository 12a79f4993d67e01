#pragma once

// Staying with a supervised run until it ends or is interrupted: shared by
// `korvelin run`, `korvelin launch` and `korvelin stop`.

#include <signal.h>

#include <functional>

#include "cli/Text.h"
#include "core/launch/ProfileLauncher.h"
#include "core/process/ProcessSnapshot.h"

namespace korvelin::cli {

// Blocks SIGINT, SIGTERM and SIGHUP so that they are taken synchronously by
// `superviseUntilStopped`; a launched program starts with an empty mask of
// its own. Returns the set.
sigset_t blockStopSignals();

struct Supervision {
  std::function<ProcessSnapshot()> status;
  // Stops the group; throws stopTimedOut when it outlives the timeout.
  std::function<ProcessSnapshot()> stop;
  std::function<void(int signal)> stopping;                      // a signal arrived
  std::function<void(const ProcessSnapshot& run)> stopTimedOut;  // still supervising
  // Optional, polled with the status: true stops the run as a signal does
  // (`stopping` then gets 0).
  std::function<bool()> shouldStop = nullptr;
};

// Polls the run until its managed group has stopped, by itself or because a
// stop signal (or `shouldStop`) asked it to. A group that outlives a stop is never sent
// SIGKILL and never left alone: the next signal asks again. Returns the last
// snapshot, awaiting confirmation.
ProcessSnapshot superviseUntilStopped(const sigset_t& stopSignals, const Supervision& supervision);

// One step of a launch or of its stop, as `korvelin launch` prints it: a
// line of text, or with `json` {"event": the step's name, "detail"}.
void printLaunchStep(const ProfileLaunchProgress& step, bool json);

// How a run ended, followed by "; completion confirmed".
Message describeEnd(const ProcessSnapshot& snapshot);
// The exit status that reports the run's end: its code, or 128 + signal.
int exitStatusOf(const ProcessSnapshot& snapshot);

}  // namespace korvelin::cli
