// korvelin app inspect BUNDLE [--vendor claude|codex|chrome|zcode] [--json]
// korvelin app arch FILE [--json]
//
// Proves what an installed application bundle is, the way a launch does, and
// shows the installation record; or names the architectures of one
// executable.

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/apps/BundleInspector.h"

namespace korvelin::cli {
namespace {

struct AppOptions {
  std::string path;
  std::string vendor;
  bool json = false;
};

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items)
    text += (text.empty() ? "" : " ") + item;
  return text;
}

int inspectApplication(const AppOptions& options, const GlobalOptions& global) {
  const ManagedApplication* application = nullptr;
  if (!options.vendor.empty()) {
    application = ManagedApplicationSupport::applicationForVendor(options.vendor);
    if (!application)
      return fail(
          {"unknown vendor '{0}': expected claude, codex, chrome or zcode", {options.vendor}},
          kExitUsage);
  }
  const CodexInstallation installation = inspectInstalledApplication(
      options.path, application,
      CodexCompatibilityApprovalStore(global.baseDirectory,
                                      ProfilePreparer(global.defaultBaseDirectory)));
  application =
      ManagedApplicationSupport::applicationForBundleIdentifier(installation.bundleIdentifier);
  if (options.json) {
    printJson(installation);
    return kExitSuccess;
  }
  printRows({{"application", installation.displayName + " (" + installation.bundleIdentifier + ")"},
             {"adapter", std::string(application->adapterIdentifier)},
             {"bundle", installation.bundlePath().value_or("")},
             {"version", installation.marketingVersion + " (" + installation.buildVersion + ")"},
             {"executable", installation.executableURL},
             {"architectures", joined(installation.architectures)},
             {"signing team", installation.signingTeamIdentifier},
             {"code hash", installation.codeDirectoryHash},
             {"compatibility", std::string(rawValue(installation.compatibilityStatus))}},
            15);
  return kExitSuccess;
}

int showArchitectures(const AppOptions& options) {
  const auto names = MachOArchitectureInspector().architectures(options.path);
  if (options.json)
    printJson({{"architectures", names}});
  else
    printLine(joined(names));
  return kExitSuccess;
}

const Registration kRegistration{
    {"app", "Inspect an installed application bundle or an executable's architectures",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       command.require_subcommand(1);
       auto options = std::make_shared<AppOptions>();

       auto* inspect = command.add_subcommand(
           "inspect", text("Verify an application bundle as a launch does and show what it is"));
       inspect->add_option("BUNDLE", options->path, text("The application's .app directory"))
           ->required();
       inspect->add_option(
           "--vendor", options->vendor,
           text("claude, codex, chrome or zcode (default: the one its Info.plist names)"));
       inspect->add_flag("--json", options->json,
                         text("Print the installation record as JSON (what --installation takes)"));
       inspect->footer(text(
           "Checks the bundle (a directory reached without symbolic links), its signature (on "
           "Linux: the\n"
           "executable and every directory above it belong to root or you and are writable by "
           "no one else),\n"
           "its Info.plist (XML or binary, at most 1 MiB), its versions, its main executable and "
           "its\n"
           "architectures, and prints the installation record. The first problem found ends it "
           "with one line."));

       auto* arch = command.add_subcommand(
           "arch",
           text("Name the architectures of a Mach-O (or this machine's native) executable"));
       arch->add_option("FILE", options->path, text("The executable"))->required();
       arch->add_flag("--json", options->json, text("Print {architectures} as JSON"));

       return [=, &global] {
         if (inspect->parsed())
           return inspectApplication(*options, global);
         return showArchitectures(*options);
       };
     }}};

}  // namespace
}  // namespace korvelin::cli
