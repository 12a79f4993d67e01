#pragma once

// Checks an installed Codex whose version is not known to keep to a profile:
// runs it once in a throw-away profile until it has visibly created its state
// there (Chromium's Singleton* links in the user-data directory, something
// in CODEX_HOME), stops it, and approves exactly that installation when it is
// still the one inspected. The throw-away profiles stay under
// <base>/CompatibilityChecks/Profiles/<uuid>.
//
//   CodexCompatibilityProbe probe(base, defaultBase, 60);
//   CodexInstallation checked = probe.check(installation);  // locallyVerified

#include <chrono>
#include <functional>
#include <string>

#include "core/apps/CodexLaunchAdapter.h"

namespace korvelin {

class CodexCompatibilityProbe {
 public:
  static constexpr std::string_view kChecksDirectoryName = "CompatibilityChecks";
  static constexpr double kStopTimeout = 8.0;

  // The approvals and the throw-away profiles live in `baseDirectory`;
  // `defaultBaseDirectory` is the managed base (created when it is missing).
  CodexCompatibilityProbe(const std::string& baseDirectory,
                          const std::string& defaultBaseDirectory,
                          double timeout);

  // The adapter whose plan the probe starts; its inspector reads the approvals.
  const CodexLaunchAdapter& adapter() const { return adapter_; }
  const CodexCompatibilityApprovalStore& approvalStore() const { return approvalStore_; }
  double timeout() const { return timeout_; }

  // Returns the installation as inspected after the check: at once when its
  // version needs no check, else locallyVerified once approved. A bundle that
  // differs from `installation` before or after the run is
  // `installationChanged`; no evidence before the timeout is
  // `compatibilityCheckFailed`. A run that was started is stopped and
  // confirmed before any error is reported, and nothing is approved.
  CodexInstallation check(const CodexInstallation& installation) const;

 private:
  CodexCompatibilityApprovalStore approvalStore_;
  CodexLaunchAdapter adapter_;
  double timeout_;
};

}  // namespace korvelin
