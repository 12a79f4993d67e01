#include "core/apps/LaunchAdapter.h"

#include <stdexcept>

#include "core/base/CoreError.h"
#include "core/files/FileSystemSecurity.h"
#include "core/process/ProcessSupervisor.h"

namespace korvelin {

const ManagedApplication& managedApplication(std::string_view adapterIdentifier) {
  for (const auto& application : ManagedApplicationSupport::applications)
    if (application.adapterIdentifier == adapterIdentifier)
      return application;
  throw std::out_of_range("no managed application for this adapter");
}

BundleLaunchAdapter::BundleLaunchAdapter(std::string_view adapterIdentifier,
                                         std::string defaultBaseDirectory)
    : application_(managedApplication(adapterIdentifier)),
      preparer_(std::move(defaultBaseDirectory)) {}

CodexInstallation BundleLaunchAdapter::inspect(const std::string& bundlePath) const {
  // Replaced by the shared bundle inspection.
  throw KorvelinCoreError::bundleNotFound(bundlePath);
}

ProcessSnapshot BundleLaunchAdapter::launch(const CodexLaunchPlan& plan,
                                            ProcessSupervisor& supervisor) const {
  const ProfilePaths& paths = plan.process.paths;
  preparer_.validateBase(paths.baseDirectory());
  SecureFileSystem::validateManagedHierarchy(paths);
  const auto& expected = plan.expectedInstallation;
  return supervisor.start(
      paths.profileID(), plan.process,
      [&] {
        if (inspect(expected.bundlePath().value_or("")) != expected)
          throw KorvelinCoreError::installationChanged();
      },
      [&](std::int32_t) {});
}

}  // namespace korvelin
