#pragma once

// Launching an inspected application so that nothing else is started in its
// place: the bundle is inspected again just before the spawn and must give
// the very record the plan was made from, and the suspended child's running
// code must carry the same team and code hash before it may run its first
// instruction. Either mismatch is `installationChanged`; the supervisor then
// removes the lease and kills the suspended child.
//
//   CodexLaunchPlan plan{installation, processPlan};
//   ProcessSnapshot run = launchVerified(plan, *makeBundleInspector(adapter), supervisor);
//
// An adapter with one more check on the suspended child (Claude's launch
// authorization) passes it as `afterVerified`.

#include <cstdint>
#include <functional>

#include "core/apps/BundleInspector.h"
#include "core/apps/CodexInstallation.h"
#include "core/apps/CodexLaunchPlan.h"
#include "core/process/ProcessSupervisor.h"

namespace korvelin {

// The check before the spawn: `inspector` finds `expected` again, field for field.
ProcessSupervisor::BeforeSpawnCheck sameInstallationCheck(const BundleInspector& inspector,
                                                          const CodexInstallation& expected);

// The check of the suspended child, then `afterVerified` when given.
ProcessSupervisor::SuspendedCheck sameRunningCodeCheck(
    const BundleInspector& inspector,
    const CodexInstallation& expected,
    ProcessSupervisor::SuspendedCheck afterVerified = {});

// Starts the plan under `supervisor` with both checks.
ProcessSnapshot launchVerified(const CodexLaunchPlan& plan,
                               const BundleInspector& inspector,
                               ProcessSupervisor& supervisor,
                               ProcessSupervisor::SuspendedCheck afterVerified = {});

}  // namespace korvelin
