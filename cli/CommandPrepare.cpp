// korvelin prepare PROFILE-UUID

#include <iostream>
#include <memory>

#include "cli/Command.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin::cli {
namespace {

int runPrepare(const std::string& profile, const GlobalOptions& global) {
  const auto change = beginProfileChange(profile, global);
  if (!change)
    return change.status;
  const ProfilePaths paths(*change.id, global.baseDirectory);
  ProfilePreparer(global.defaultBaseDirectory).prepare(paths);
  say({"prepared {0}", {paths.root()}});
  return kExitSuccess;
}

const Registration kRegistration{
    {"prepare", "Create a profile's directory tree, or verify it if it exists (never repairs)",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto profile = std::make_shared<std::string>();
       command.add_option("PROFILE-UUID", *profile, text("Profile identifier"))->required();
       return [profile, &global] { return runPrepare(*profile, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
