#include "core/apps/LaunchAdapter.h"

#include <stdexcept>

#include "core/apps/VerifiedLaunch.h"
#include "core/base/CoreError.h"
#include "core/files/FileSystemSecurity.h"
#include "core/process/ProcessSupervisor.h"

namespace korvelin {

const ManagedApplication& managedApplication(std::string_view adapterIdentifier) {
  if (const auto* row = ManagedApplicationSupport::application(adapterIdentifier))
    return *row;
  throw std::out_of_range("no managed application for this adapter");
}

BundleLaunchAdapter::BundleLaunchAdapter(std::string_view adapterIdentifier,
                                         std::string defaultBaseDirectory,
                                         std::shared_ptr<const BundleInspector> inspector)
    : application_(managedApplication(adapterIdentifier)),
      preparer_(std::move(defaultBaseDirectory)),
      inspector_(inspector ? std::move(inspector) : makeBundleInspector(adapterIdentifier)) {}

CodexInstallation BundleLaunchAdapter::inspect(const std::string& bundlePath) const {
  return inspector_->inspect(bundlePath);
}

ProcessSnapshot BundleLaunchAdapter::launch(const CodexLaunchPlan& plan,
                                            ProcessSupervisor& supervisor) const {
  const ProfilePaths& paths = plan.process.paths;
  preparer_.validateBase(paths.baseDirectory());
  SecureFileSystem::validateManagedHierarchy(paths);
  return launchVerified(plan, *inspector_, supervisor, afterVerifiedCheck(plan));
}

ProcessSupervisor::SuspendedCheck BundleLaunchAdapter::afterVerifiedCheck(
    const CodexLaunchPlan&) const {
  return {};
}

}  // namespace korvelin
