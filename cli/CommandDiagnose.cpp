// korvelin diagnose PROFILE [--config-file] [--json]
// korvelin probe [--proxy URL] [--url URL] [--json]

#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/Text.h"
#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/profile/ProfileConfigurationFile.h"
#include "core/profile/ProfileDiagnostics.h"
#include "core/profile/ProfileRepository.h"

namespace korvelin::cli {
namespace {

struct DiagnoseOptions {
  std::string profile;
  bool configFile = false;
  bool json = false;
};

// The application's own configuration file, once it is proven safe to open.
int configurationFile(const Uuid& id, bool json, const GlobalOptions& global) {
  const ProfilePaths paths(id, global.baseDirectory);
  for (const auto& profile :
       ProfileRepository(global.baseDirectory, global.defaultBaseDirectory).load().profiles) {
    if (profile.id != id)
      continue;
    const auto url = ProfileConfigurationFile::validatedURL(
        profile, paths, ProfilePreparer(global.defaultBaseDirectory));
    const auto path = pathFromFileURL(url).value_or(url);
    if (json)
      printJson({{"url", url}, {"path", path}});
    else
      printLine(path);
    return kExitSuccess;
  }
  throw KorvelinCoreError::profileNotFound(id);
}

int diagnose(const DiagnoseOptions& options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  if (options.configFile)
    return configurationFile(*id, options.json, global);
  const auto report = ProfileDiagnostics::inspect(ProfilePaths(*id, global.baseDirectory),
                                                  ProfilePreparer(global.defaultBaseDirectory));
  if (options.json) {
    printJson(report);
    return kExitSuccess;
  }
  for (const auto& check : report.checks)
    printLine(std::string(rawValue(check.status)) + "  " + check.identifier + "  " + check.detail +
              "  (" + check.path + ")");
  return kExitSuccess;
}

struct ProbeOptions {
  std::string proxy;
  std::string url = std::string(ProfileNetworkRouteProbe::kDefaultEchoURL);
  bool json = false;
};

int probe(const ProbeOptions& options) {
  ProfileNetworkRouteProbe probe;
  probe.echoURL = options.url;
  const std::string address = options.proxy.empty()
                                  ? probe.probeDirect()
                                  : probe.probe(ProfileProxyConfiguration::fromURI(options.proxy));
  if (options.json)
    printJson({{"address", address}});
  else
    printLine(address);
  return kExitSuccess;
}

const Registration kDiagnose{
    {"diagnose",
     "Check a profile's directories, Codex home, browser lock and Codex socket (read-only)",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<DiagnoseOptions>();
       command.add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       command.add_flag("--config-file", options->configFile,
                        text("Print the path of the application's own configuration file "
                             "(Codex's config.toml, Claude's claude_desktop_config.json) once "
                             "it is proven safe to open"));
       command.add_flag("--json", options->json, text("Print JSON"));
       return [options, &global] { return diagnose(*options, global); };
     }}};

const Registration kProbe{
    {"probe", "Ask an IP echo service, through a proxy or directly, which address it sees",
     [](CLI::App& command, const GlobalOptions&) -> Runner {
       auto options = std::make_shared<ProbeOptions>();
       command.add_option(
           "--proxy", options->proxy,
           text("The proxy, scheme://host:port (http, https or socks5); none: the system route"));
       command.add_option("--url", options->url, text("The IP echo service"))
           ->capture_default_str();
       command.add_flag("--json", options->json, text("Print JSON"));
       return [options] { return probe(*options); };
     }}};

}  // namespace
}  // namespace korvelin::cli
