#include "core/apps/VerifiedLaunch.h"

#include "core/base/CoreError.h"

namespace korvelin {

ProcessSupervisor::BeforeSpawnCheck sameInstallationCheck(const BundleInspector& inspector,
                                                          const CodexInstallation& expected) {
  return [&inspector, expected] {
    const auto bundle = expected.bundlePath();
    if (!bundle || inspector.inspect(*bundle) != expected)
      throw KorvelinCoreError::installationChanged();
  };
}

ProcessSupervisor::SuspendedCheck sameRunningCodeCheck(
    const BundleInspector& inspector,
    const CodexInstallation& expected,
    ProcessSupervisor::SuspendedCheck afterVerified) {
  return [&inspector, expected, afterVerified = std::move(afterVerified)](std::int32_t pid) {
    const CodeSignatureIdentity running =
        inspector.signatureValidator().validateRunningCode(pid, inspector.requirement());
    if (running.teamIdentifier != expected.signingTeamIdentifier ||
        running.codeDirectoryHash != expected.codeDirectoryHash)
      throw KorvelinCoreError::installationChanged();
    if (afterVerified)
      afterVerified(pid);
  };
}

ProcessSnapshot launchVerified(const CodexLaunchPlan& plan,
                               const BundleInspector& inspector,
                               ProcessSupervisor& supervisor,
                               ProcessSupervisor::SuspendedCheck afterVerified) {
  return supervisor.start(
      plan.process.paths.profileID(), plan.process,
      sameInstallationCheck(inspector, plan.expectedInstallation),
      sameRunningCodeCheck(inspector, plan.expectedInstallation, std::move(afterVerified)));
}

}  // namespace korvelin
