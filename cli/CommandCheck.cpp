// korvelin check PROFILE-UUID

#include <iostream>
#include <memory>

#include "cli/Command.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin::cli {
namespace {

int runCheck(const std::string& profile, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(profile, global);
  if (!id)
    return kExitUsage;
  const ProfilePaths paths(*id, global.baseDirectory);
  ProfilePreparer(global.defaultBaseDirectory).validatePrepared(paths);
  say({"ok {0}", {paths.root()}});
  return kExitSuccess;
}

const Registration kRegistration{
    {"check", "Verify that a profile's directory tree exists and is safe (creates nothing)",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto profile = std::make_shared<std::string>();
       command.add_option("PROFILE-UUID", *profile, text("Profile identifier"))->required();
       return [profile, &global] { return runCheck(*profile, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
