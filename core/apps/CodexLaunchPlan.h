#pragma once

// What every application adapter builds for one launch: the installation it
// verified (compared field by field again just before the spawn) and the
// process to start.

#include "core/apps/CodexInstallation.h"
#include "core/process/ProcessLaunchPlan.h"

namespace korvelin {

struct CodexLaunchPlan {
  CodexInstallation expectedInstallation;
  ProcessLaunchPlan process;

  bool operator==(const CodexLaunchPlan&) const = default;
};

}  // namespace korvelin
