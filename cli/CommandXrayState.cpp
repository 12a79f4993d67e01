// korvelin xray-state PROFILE-UUID [--json]

#include <sys/stat.h>

#include <cerrno>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/XrayDurableStateStore.h"

namespace korvelin::cli {
namespace {

struct XrayStateOptions {
  std::string profile;
  bool json = false;
};

bool hasNoSidecarFiles(const ProfilePaths& paths) {
  for (auto name :
       {XrayDurableStateStore::kOperationLockFileName,
        XrayDurableStateStore::kManagedMarkerFileName, XrayDurableStateStore::kStateFileName}) {
    struct stat info {};
    if (::lstat(appendingPathComponent(paths.root(), name).c_str(), &info) == 0 || errno != ENOENT)
      return false;
  }
  return true;
}

std::string describeIdentity(const LiveProcessIdentity& identity) {
  std::ostringstream started;
  started << identity.startSeconds << '.' << std::setw(6) << std::setfill('0')
          << identity.startMicroseconds;
  return text({"pid {0}, group {1}, uid {2}, started {3}, {4}",
               {std::to_string(identity.pid), std::to_string(identity.group),
                std::to_string(identity.uid), started.str(), identity.executable}});
}

void printRecord(const XrayDurableState& state) {
  auto line = [](const char* label, const auto& value) {
    std::ostringstream shown;
    shown << value;
    printRows({{label, shown.str()}}, 15);
  };
  line("status",
       text(state.status == XrayDurableState::Status::active ? "active (a sidecar may be running)"
                                                             : "empty (no sidecar recorded)"));
  line("profile", state.profileID.uppercaseString());
  if (state.connectionID)
    line("connection", state.connectionID->uppercaseString());
  if (state.generation)
    line("generation", state.generation->uppercaseString());
  if (state.guardianPID)
    line("guardian pid", *state.guardianPID);
  if (state.childPID)
    line("xray pid", *state.childPID);
  if (state.loopbackPort)
    line("loopback port", *state.loopbackPort);
  if (state.socketPath)
    line("socket", *state.socketPath);
  // The capability lets whoever holds it stop the sidecar: only --json shows it.
  if (state.capability)
    line("capability", text("recorded (not shown)"));
  if (state.protocolVersion)
    line("protocol", *state.protocolVersion == 2
                         ? std::to_string(*state.protocolVersion)
                         : text({"{0} (legacy)", {std::to_string(*state.protocolVersion)}}));
  else if (state.status == XrayDurableState::Status::active)
    line("protocol", text("legacy (none recorded)"));
  if (state.guardianIdentity)
    line("guardian", describeIdentity(*state.guardianIdentity));
}

int runXrayState(const XrayStateOptions& options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  const ProfilePaths paths(*id, global.baseDirectory);

  // A refusal names only the profile; the reason is what helps a user.
  std::string reason;
  const XrayDurableStateStore store({}, [&reason](const std::string& detail) { reason = detail; });
  XrayDurableState state;
  try {
    state = store.readOnly(paths);
  } catch (const KorvelinCoreError& e) {
    if (e.errorCase() != KorvelinCoreError::Case::profileRecoveryRequired)
      throw;
    if (hasNoSidecarFiles(paths))
      return fail(
          {"profile {0} has no durable sidecar record (it has never been prepared for a proxy)",
           {id->uppercaseString()}});
    const std::string description = AppLocalization::render(e.errorDescription(), outputLanguage());
    return fail(reason.empty() ? Message{"{0}", {description}}
                               : Message{"{0} ({1})", {description, reason}});
  }
  if (options.json)
    printJson(state);
  else
    printRecord(state);
  return kExitSuccess;
}

const Registration kRegistration{
    {"xray-state",
     "Show a profile's durable proxy sidecar record (read-only; fails while a writer holds it)",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<XrayStateOptions>();
       command.add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       command.add_flag("--json", options->json, text("Print the record as one JSON object"));
       return [options, &global] { return runXrayState(*options, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
