#include "cli/RunSupervision.h"

#include <cstring>

#include "core/base/CoreError.h"

namespace korvelin::cli {

sigset_t blockStopSignals() {
  sigset_t stopSignals;
  ::sigemptyset(&stopSignals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    ::sigaddset(&stopSignals, signal);
  ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  return stopSignals;
}

ProcessSnapshot superviseUntilStopped(const sigset_t& stopSignals, const Supervision& supervision) {
  for (;;) {
    timespec wait{0, 100'000'000};
    const int signal = ::sigtimedwait(&stopSignals, nullptr, &wait);
    if (signal > 0 || (supervision.shouldStop && supervision.shouldStop())) {
      supervision.stopping(signal > 0 ? signal : 0);
      try {
        return supervision.stop();
      } catch (const KorvelinCoreError& e) {
        if (e.errorCase() != KorvelinCoreError::Case::stopTimedOut)
          throw;
        supervision.stopTimedOut(supervision.status());
      }
    }
    auto last = supervision.status();
    if (last.state == ProcessRunState::managedGroupStoppedAwaitingConfirmation)
      return last;
  }
}

Message describeEnd(const ProcessSnapshot& snapshot) {
  if (snapshot.terminationSignal)
    return {
        "ended by signal {0} ({1}); completion confirmed",
        {std::to_string(*snapshot.terminationSignal), ::strsignal(*snapshot.terminationSignal)}};
  if (snapshot.exitCode)
    return {"exited with code {0}; completion confirmed", {std::to_string(*snapshot.exitCode)}};
  return "ended (exit status not known); completion confirmed";
}

int exitStatusOf(const ProcessSnapshot& snapshot) {
  if (snapshot.terminationSignal)
    return 128 + *snapshot.terminationSignal;
  return snapshot.exitCode.value_or(0);
}

}  // namespace korvelin::cli
