#include "core/proxy/LegacyXrayRouteObserver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <tuple>

#include "core/activity/ProfileTrafficObserver.h"
#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/guardian/GuardianClient.h"
#include "core/process/ProcessSupervisor.h"
#include "core/proxy/XraySidecarSupervisor.h"

namespace korvelin {

namespace {

constexpr std::string_view kGuardianSuffix = "/Contents/Resources/korvelin-xray-guardian";

void require(bool condition) {
  if (!condition)
    throw KorvelinCoreError::proxyDisconnected();
}

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool startsNoLaterThan(const LiveProcessIdentity& earlier, const LiveProcessIdentity& later) {
  return std::tie(earlier.startSeconds, earlier.startMicroseconds) <=
         std::tie(later.startSeconds, later.startMicroseconds);
}

}  // namespace

std::optional<std::vector<std::int32_t>> LegacyXrayRouteObserver::liveChildren(std::int32_t pid) {
  return ProfileTrafficObserver::liveChildren(pid);
}

bool LegacyXrayRouteObserver::signedBundleResources(const LiveProcessIdentity& guardian,
                                                    const LiveProcessIdentity& child) {
  const std::string bundle = parentOf(parentOf(parentOf(guardian.executable)));
  struct stat info;
  if (!bundle.ends_with(".app") || ::lstat(bundle.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    return false;
  for (const auto* identity : {&guardian, &child}) {
    if (SecureFileSystem::installationProblem(identity->executable))
      return false;
    XraySidecarSupervisor::validateBinary(identity->executable);
  }
  return true;
}

RestoredProxyObservation LegacyXrayRouteObserver::observe(
    const XrayDurableState& record,
    const ProfilePaths& paths,
    const ProcessSnapshot& run,
    const LiveProcessIdentity& verifiedRoot) const {
  const Uuid& profileID = paths.profileID();
  require((!record.protocolVersion || *record.protocolVersion == 1) &&
          record.status == XrayDurableState::Status::active && record.profileID == profileID &&
          run.profileID == profileID && run.state == ProcessRunState::running &&
          record.generation && record.loopbackPort && *record.loopbackPort != 0 &&
          record.guardianPID);
  require(record.socketPath && *record.socketPath == guardianSocketPath(*record.generation));

  const auto root = identity(run.rootPID);
  require(root && *root == verifiedRoot && root->group == run.processGroupID &&
          root->pid == root->group);
  const auto guardian = identity(*record.guardianPID);
  require(guardian && guardian->uid == root->uid && guardian->bootSessionID == root->bootSessionID);

  const auto rootArguments = arguments(root->pid);
  require(rootArguments.has_value());
  std::vector<std::string> dataDirectories;
  for (const auto& argument : *rootArguments)
    if (argument.starts_with("--user-data-dir="))
      dataDirectories.push_back(argument);
  require(dataDirectories == std::vector<std::string>{"--user-data-dir=" + paths.userData()});

  const auto guardianArguments = arguments(guardian->pid);
  require(guardianArguments.has_value());
  const auto guardianChildren = children(guardian->pid);
  require(guardianChildren && guardianChildren->size() == 1);
  const auto child = identity(guardianChildren->front());
  require(child && child->uid == root->uid && child->bootSessionID == guardian->bootSessionID);
  const auto childArguments = arguments(child->pid);
  require(childArguments.has_value());

  const std::string xray = parentOf(guardian->executable) + "/xray";
  const ProfileProxyConfiguration expected(ProfileProxyScheme::socks5, "127.0.0.1",
                                           *record.loopbackPort);
  require(guardian->executable.ends_with(kGuardianSuffix));
  require(*guardianArguments == std::vector<std::string>{guardian->executable, "--xray", xray,
                                                         "--socket", *record.socketPath});
  require(child->executable == xray &&
          *childArguments == std::vector<std::string>{xray, "run", "-config", "stdin:"});
  require(ProfileUsageRoute::observed(*rootArguments) == ProfileUsageRoute::proxy(expected));
  require(startsNoLaterThan(*guardian, *child) && startsNoLaterThan(*child, *root));

  require(verifyBinaries(*guardian, *child));
  require(verifyListener && verifyListener(child->pid, *record.loopbackPort));

  // Nothing may have changed while we looked.
  for (const auto& [pid, first] :
       {std::pair{root->pid, &*root}, {guardian->pid, &*guardian}, {child->pid, &*child}}) {
    const auto again = identity(pid);
    require(again && *again == *first);
  }
  for (const auto& [pid, first] : {std::pair{root->pid, &*rootArguments},
                                   {guardian->pid, &*guardianArguments},
                                   {child->pid, &*childArguments}}) {
    const auto again = arguments(pid);
    require(again && *again == *first);
  }
  const auto childrenAgain = children(guardian->pid);
  require(childrenAgain && *childrenAgain == *guardianChildren);
  require(readState(paths) == record);

  return {RestoredProxyStatus::available, ProfileUsageRoute::proxy(expected, *record.generation),
          LegacyProxyIdentity{*guardian, *child}, *child};
}

}  // namespace korvelin
