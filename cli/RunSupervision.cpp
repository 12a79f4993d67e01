#include "cli/RunSupervision.h"

#include <cstring>
#include <iostream>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/base/CoreError.h"

namespace korvelin::cli {

namespace {

Message describe(const ProfileLaunchProgress& progress) {
  const std::string& detail = progress.detail;
  switch (progress.step) {
    case ProfileLaunchStep::profileLoaded:
      return {"profile {0} loaded from the catalogue", {detail}};
    case ProfileLaunchStep::applicationVerified:
      return {"application verified: {0}", {detail}};
    case ProfileLaunchStep::proxyStarting:
      return {"starting the proxy sidecar of connection {0}...", {detail}};
    case ProfileLaunchStep::proxyReady:
      return {"proxy ready at {0} (egress probe answered)", {detail}};
    case ProfileLaunchStep::proxyUnavailable:
      return {
          "proxy unavailable ({0}); this profile allows the system route, so the application "
          "uses it and your real address may be visible",
          {AppLocalization::render(detail, outputLanguage())}};
    case ProfileLaunchStep::fixedProxy:
      return {"route: the profile's proxy {0}", {detail}};
    case ProfileLaunchStep::systemRoute:
      return "route: the system route (the profile has no proxy)";
    case ProfileLaunchStep::browserBridgeReady:
      return {
          "browser bridge listening on {0}: links the application opens go to the paired "
          "Chrome profile",
          {detail}};
    case ProfileLaunchStep::applicationStarted:
      return {"application started under supervision: pid {0}", {detail}};
    case ProfileLaunchStep::sidecarAttached:
      return "sidecar attached to the application's process group";
    case ProfileLaunchStep::sidecarNotAttached:
      return {"sidecar not attached: {0}", {AppLocalization::render(detail, outputLanguage())}};
    case ProfileLaunchStep::stopRequested:
      return "stopping the application's process group...";
    case ProfileLaunchStep::applicationStopped:
      return "the application's process group has stopped";
    case ProfileLaunchStep::completionConfirmed:
      return "completion confirmed; launch lease removed";
    case ProfileLaunchStep::sidecarStopped:
      return "sidecar stopped; its record is empty again";
    case ProfileLaunchStep::browserLinkOpened:
      return {"a link the application opened went to the paired Chrome profile: {0}", {detail}};
    case ProfileLaunchStep::browserLinkDeclined:
      return {"a link the application opened was declined: {0}",
              {AppLocalization::render(detail, outputLanguage())}};
  }
  return "";
}

}  // namespace

void printLaunchStep(const ProfileLaunchProgress& step, bool json) {
  if (json)
    std::cout << nlohmann::json{{"event", rawValue(step.step)}, {"detail", step.detail}}.dump()
              << std::endl;
  else
    say(describe(step));
}

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
