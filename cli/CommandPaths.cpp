// korvelin paths PROFILE-UUID [--json]

#include <iomanip>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin::cli {
namespace {

struct PathsOptions {
  std::string profile;
  bool json = false;
};

int runPaths(const PathsOptions& options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  const ProfilePaths paths(*id, global.baseDirectory);
  if (options.json) {
    printJson(paths);
    return kExitSuccess;
  }
  printRows(
      {
          {"profile", paths.profileID().uppercaseString()},
          {"base", paths.baseDirectory()},
          {"profiles", paths.profilesDirectory()},
          {"root", paths.root()},
          {"home", paths.home()},
          {"config", paths.config()},
          {"cache", paths.cache()},
          {"user-data", paths.userData()},
          {"logs", paths.logs()},
          {"codex-home", paths.codexHome()},
          {"launch-lease", paths.leaseFile()},
      },
      15);
  return kExitSuccess;
}

const Registration kRegistration{
    {"paths", "Show where a profile's directories live (computed only; nothing is read or created)",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<PathsOptions>();
       command.add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       command.add_flag("--json", options->json,
                        text("Print one JSON object (locations as file URLs)"));
       return [options, &global] { return runPaths(*options, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
