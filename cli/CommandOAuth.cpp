// korvelin oauth route URL [--claude PROFILE | --any-http] [--open] [--json]

#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/apps/OAuthChromeOpener.h"
#include "core/apps/OAuthChromeRouter.h"
#include "core/profile/ProfileRepository.h"

namespace korvelin::cli {
namespace {

struct OAuthOptions {
  std::string url;
  std::string claude;
  bool anyHTTP = false;
  bool open = false;
  bool json = false;
};

nlohmann::json profileSummary(const AppProfile& profile) {
  return {{"id", profile.id}, {"name", profile.name}};
}

int routeLink(const OAuthOptions& options, const GlobalOptions& global) {
  const auto profiles =
      ProfileRepository(global.baseDirectory, global.defaultBaseDirectory).load().profiles;
  std::optional<Uuid> claudeID;
  if (!options.claude.empty() && !(claudeID = resolveProfileIdentifier(options.claude, global)))
    return kExitUsage;
  try {
    const auto route = claudeID ? OAuthChromeRouter::routeHTTPURL(options.url, *claudeID, profiles)
                       : options.anyHTTP ? OAuthChromeRouter::routeAnyHTTPURL(options.url, profiles)
                                         : OAuthChromeRouter::route(options.url, profiles);
    const auto command = OAuthChromeRouter::command(options.url, route, global.baseDirectory);
    std::optional<OAuthChromeOpening> opening;
    if (options.open)
      opening = OAuthChromeOpener{global.baseDirectory}.open(options.url, route);
    if (options.json) {
      nlohmann::json result = {{"claudeProfile", profileSummary(route.claudeProfile)},
                               {"chromeProfile", profileSummary(route.chromeProfile)},
                               {"command", command},
                               {"opened", opening.has_value()}};
      if (opening)
        result["chromeOutput"] = opening->output;
      printJson(result);
      return kExitSuccess;
    }
    printRows({{"Claude profile:",
                route.claudeProfile.name + " (" + route.claudeProfile.id.uppercaseString() + ")"},
               {"Chrome profile:",
                route.chromeProfile.name + " (" + route.chromeProfile.id.uppercaseString() + ")"}},
              16);
    if (!opening) {
      say("Command:");
      for (const auto& argument : command)
        printLine(argument);
      return kExitSuccess;
    }
    printLines(opening->output);
    say({"Opened the link in Chrome profile {0}.", {route.chromeProfile.name}});
    return kExitSuccess;
  } catch (const OAuthChromeRoutingError& e) {
    return fail(Message{e.what()});
  }
}

const Registration kRegistration{
    {"oauth", "Route sign-in links of Claude profiles to their paired Chrome profiles",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       command.require_subcommand(1);
       auto options = std::make_shared<OAuthOptions>();
       auto* route = command.add_subcommand(
           "route", text("Find the Chrome profile that opens a link for a Claude profile"));
       route->add_option("URL", options->url, text("The link"))->required();
       auto* claude = route->add_option(
           "--claude", options->claude,
           text("Route any http(s) link on behalf of this Claude profile (UUID or name)"));
       route
           ->add_flag("--any-http", options->anyHTTP,
                      text("Route any http(s) link, not only sign-in links"))
           ->excludes(claude);
       route->add_flag("--open", options->open,
                       text("Open the link in the paired Chrome profile, which must be running"));
       route->add_flag("--json", options->json, text("Print one JSON object"));
       route->footer(
           text("A Chrome profile is paired with a Claude profile when their names are equal "
                "ignoring letter case and both use the same saved proxy connection. Without "
                "--claude, the first Claude profile in catalogue order with exactly one partner "
                "is chosen; a Claude profile with several partners ends the search."));
       return [options, &global] { return routeLink(*options, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
