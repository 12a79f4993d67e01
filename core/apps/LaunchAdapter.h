#pragma once

// One supported application as the launcher sees it: how its installed
// bundle is inspected, how a profile becomes a launch plan, and how the plan
// is started under the process supervisor with the launch guards. Each
// vendor's adapter implements it; `makeLaunchAdapter` (core/launch/) picks
// the one a profile names.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/apps/BundleInspector.h"
#include "core/apps/CodexLaunchPlan.h"
#include "core/apps/ManagedApplicationSupport.h"
#include "core/process/ProcessSnapshot.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/AppProfile.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

// What a plan is made from. `proxy` is the route the application is pointed
// at (the sidecar's local port, or the profile's fixed proxy); absent means
// the system route.
struct LaunchPlanInput {
  const AppProfile& profile;
  const CodexInstallation& installation;
  const ProfilePaths& paths;
  const std::optional<ProfileProxyConfiguration>& proxy;
  // Variables the host adds for this run (a Claude profile's browser bridge).
  std::map<std::string, std::string> managedEnvironment = {};
};

class LaunchAdapter {
 public:
  virtual ~LaunchAdapter() = default;

  // The row of the application this adapter drives.
  virtual const ManagedApplication& application() const = 0;
  std::string_view adapterIdentifier() const { return application().adapterIdentifier; }

  // Inspects and verifies the bundle installed at `bundlePath`.
  virtual CodexInstallation inspect(const std::string& bundlePath) const = 0;
  virtual CodexLaunchPlan makeLaunchPlan(const LaunchPlanInput& input) const = 0;
  // Starts the plan under `supervisor`, re-inspecting the bundle before the
  // spawn and checking the suspended child's code before it runs.
  virtual ProcessSnapshot launch(const CodexLaunchPlan& plan,
                                 ProcessSupervisor& supervisor) const = 0;
};

// The row of `ManagedApplicationSupport::applications` for an adapter
// (std::out_of_range for an identifier that is not one of them).
const ManagedApplication& managedApplication(std::string_view adapterIdentifier);

// An adapter whose inspection and launch are the shared ones for a signed
// bundle of its vendor; it adds only its plan.
class BundleLaunchAdapter : public LaunchAdapter {
 public:
  // `defaultBaseDirectory` is the managed base the profile preparer guards;
  // `inspector` is the vendor's (`makeBundleInspector`) when null.
  BundleLaunchAdapter(std::string_view adapterIdentifier,
                      std::string defaultBaseDirectory,
                      std::shared_ptr<const BundleInspector> inspector = nullptr);

  const ManagedApplication& application() const override { return application_; }
  CodexInstallation inspect(const std::string& bundlePath) const override;
  ProcessSnapshot launch(const CodexLaunchPlan& plan, ProcessSupervisor& supervisor) const override;

 protected:
  const ProfilePreparer& preparer() const { return preparer_; }
  // A further check of the suspended child once its code was verified,
  // prepared after the plan's paths passed their checks and before anything
  // is spawned (Claude's launch authorization). None by default.
  virtual ProcessSupervisor::SuspendedCheck afterVerifiedCheck(const CodexLaunchPlan& plan) const;

 private:
  const ManagedApplication& application_;
  ProfilePreparer preparer_;
  std::shared_ptr<const BundleInspector> inspector_;
};

}  // namespace korvelin
