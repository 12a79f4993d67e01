// korvelin profile create|list|show|update|delete|recover

#include <algorithm>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/apps/BundleInspector.h"
#include "core/apps/CodexInstallation.h"
#include "core/base/Iso8601Date.h"
#include "core/base/JsonSupport.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/platform/FileUtil.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileRepository.h"
#include "core/proxy/VLESSConnectionRepository.h"

namespace korvelin::cli {
namespace {

struct ProfileOptions {
  std::string profile;  // UUID or name (show, update, delete)
  std::string name;     // create: NAME; update: --name
  std::string installation;
  std::string bundle;  // create: inspected into the installation record
  std::string color;
  std::string connection;
  std::string proxy;
  std::string id;
  bool allowSystemRoute = false;
  bool forbidSystemRoute = false;
  bool direct = false;
  std::vector<std::string> environment;
  std::vector<std::string> arguments;
  bool clearEnvironment = false;
  bool clearArguments = false;
  bool data = false;
  bool json = false;
};

ProfileRepository repositoryFor(const GlobalOptions& global) {
  return ProfileRepository(global.baseDirectory, global.defaultBaseDirectory);
}

// The profile as people read it: one "key: value" line per field.
void printProfile(const AppProfile& profile, const GlobalOptions& global) {
  const ProfilePaths paths(profile.id, global.baseDirectory);
  const auto& application = profile.application;
  std::vector<std::pair<Message, std::string>> rows = {
      {"name:", profile.name},
      {"id:", profile.id.uppercaseString()},
      {"color:", std::string(rawValue(profile.color))},
      {"application:", application.displayName + " " + application.marketingVersion + " (" +
                           application.buildVersion + "), " + application.bundleIdentifier},
      {"bundle:", application.bundlePath},
      {"adapter:", profile.adapterIdentifier}};
  if (profile.proxy)
    rows.emplace_back("route:", text({"proxy {0}", {profile.proxy->uri()}}));
  else if (profile.proxyConnectionID)
    rows.emplace_back(
        "route:", text({profile.allowSystemRouteFallback
                            ? "saved connection {0} (system route allowed when it is unavailable)"
                            : "saved connection {0}",
                        {profile.proxyConnectionID->uppercaseString()}}));
  else
    rows.emplace_back("route:", text("system"));
  for (const auto& variable : profile.environmentVariables)
    rows.emplace_back("environment:", variable.name + "=" + variable.value);
  for (const auto& argument : profile.launchArguments)
    rows.emplace_back("argument:", argument);
  rows.emplace_back("created:", iso8601String(profile.createdAt));
  rows.emplace_back("directory:", paths.root());
  printRows(rows, 14);
}

// `done` is the line for people, with the profile's name for {0}.
void printResult(const AppProfile& profile,
                 bool json,
                 const char* done,
                 const GlobalOptions& global) {
  if (json)
    return printJson(nlohmann::json(profile));
  say({done, {profile.name}});
  printProfile(profile, global);
}

// Applies the options that create and update share to `draft`; a one-line
// usage error (returned as its status) for anything malformed.
std::optional<int> applyOptions(const ProfileOptions& options,
                                ProfileRepository::Draft& draft,
                                const GlobalOptions& global) {
  if (!options.color.empty()) {
    auto color = profileColorTokenFromRawValue(options.color);
    if (!color) {
      std::string names;
      for (auto token : kAllProfileColorTokens)
        names += (names.empty() ? "" : ", ") + std::string(rawValue(token));
      return fail({"unknown color '{0}' (one of {1})", {options.color, names}}, kExitUsage);
    }
    draft.color = *color;
  }
  if (!options.proxy.empty()) {
    draft.proxy = ProfileProxyConfiguration::fromURI(options.proxy);
    draft.proxyConnectionID.reset();
    draft.allowSystemRouteFallback = false;
  }
  if (!options.connection.empty()) {
    auto connection = Uuid::parse(options.connection);
    if (!connection)
      return fail({"invalid connection identifier '{0}': expected a UUID", {options.connection}},
                  kExitUsage);
    // Only a saved connection can be chosen.
    const auto saved =
        VLESSConnectionRepository(global.baseDirectory, global.defaultBaseDirectory).load();
    if (std::none_of(saved.connections.begin(), saved.connections.end(),
                     [&](const auto& c) { return c.id == *connection; }))
      throw KorvelinCoreError::proxyConnectionNotFound();
    draft.proxyConnectionID = connection;
    draft.proxy.reset();
  }
  if (options.direct) {
    draft.proxy.reset();
    draft.proxyConnectionID.reset();
    draft.allowSystemRouteFallback = false;
  }
  if (options.allowSystemRoute)
    draft.allowSystemRouteFallback = true;
  if (options.forbidSystemRoute)
    draft.allowSystemRouteFallback = false;
  if (options.clearEnvironment || !options.environment.empty())
    draft.environmentVariables.clear();
  for (const auto& assignment : options.environment) {
    auto equals = assignment.find('=');
    if (equals == std::string::npos)
      return fail({"--env takes KEY=VALUE, got '{0}'", {assignment}}, kExitUsage);
    draft.environmentVariables.push_back(
        {assignment.substr(0, equals), assignment.substr(equals + 1)});
  }
  if (options.clearArguments || !options.arguments.empty())
    draft.launchArguments = options.arguments;
  return std::nullopt;
}

int createProfile(const ProfileOptions& options, const GlobalOptions& global) {
  ProfileRepository::Draft draft;
  draft.name = options.name;
  draft.id = Uuid::random();
  if (!options.id.empty()) {
    auto id = Uuid::parse(options.id);
    if (!id)
      return invalidProfileIdentifier(options.id);
    draft.id = *id;
  }
  if (auto status = applyOptions(options, draft, global))
    return *status;
  if (options.bundle.empty() && options.installation.empty())
    return fail("profile create needs --installation FILE or --bundle DIR", kExitUsage);
  std::optional<CodexInstallation> installation;
  if (!options.bundle.empty())
    installation = inspectInstalledApplication(
        options.bundle, nullptr,
        CodexCompatibilityApprovalStore(global.baseDirectory,
                                        ProfilePreparer(global.defaultBaseDirectory)));
  else
    installation = readInstallation(options.installation);
  if (!installation)
    return kExitFailure;
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  printResult(repositoryFor(global).create(draft, *installation), options.json,
              "created profile {0}", global);
  return kExitSuccess;
}

int listProfiles(const ProfileOptions& options, const GlobalOptions& global) {
  const auto snapshot = repositoryFor(global).load();
  if (options.json) {
    printJson({{"durability", rawValue(snapshot.durability)}, {"profiles", snapshot.profiles}});
    return kExitSuccess;
  }
  for (const auto& profile : snapshot.profiles) {
    const std::string route =
        profile.proxy ? profile.proxy->uri()
        : profile.proxyConnectionID
            ? text({"connection {0}", {profile.proxyConnectionID->uppercaseString()}})
            : text("system");
    printLine(profile.id.uppercaseString() + "  " + profile.name + "  (" +
              profile.application.displayName + ", " + std::string(rawValue(profile.color)) + ", " +
              route + ")");
  }
  if (snapshot.profiles.empty())
    say("no profiles");
  if (snapshot.durability == ProfileCatalogDurability::unconfirmed)
    std::cerr << printableText(text("note: the catalogue's last change may not survive a crash (a "
                                    "directory sync failed)"))
              << '\n';
  return kExitSuccess;
}

std::optional<AppProfile> catalogued(const Uuid& id, const GlobalOptions& global) {
  for (auto& profile : repositoryFor(global).load().profiles)
    if (profile.id == id)
      return profile;
  return std::nullopt;
}

int showProfile(const ProfileOptions& options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  auto profile = catalogued(*id, global);
  if (!profile)
    throw KorvelinCoreError::profileNotFound(*id);
  if (options.json)
    printJson(*profile);
  else
    printProfile(*profile, global);
  return kExitSuccess;
}

int updateProfile(const ProfileOptions& options, const GlobalOptions& global) {
  const auto change = beginProfileChange(options.profile, global);
  if (!change)
    return change.status;
  auto current = catalogued(*change.id, global);
  if (!current)
    throw KorvelinCoreError::profileNotFound(*change.id);
  ProfileRepository::Draft draft{current->id,
                                 options.name.empty() ? current->name : options.name,
                                 current->color,
                                 current->proxy,
                                 current->proxyConnectionID,
                                 current->allowSystemRouteFallback,
                                 current->environmentVariables,
                                 current->launchArguments};
  if (auto status = applyOptions(options, draft, global))
    return *status;
  printResult(repositoryFor(global).update(draft), options.json, "updated profile {0}", global);
  return kExitSuccess;
}

int deleteProfile(const ProfileOptions& options, const GlobalOptions& global) {
  const auto change = beginProfileChange(options.profile, global);
  if (!change)
    return change.status;
  const Uuid& id = *change.id;
  repositoryFor(global).remove(id, options.data);
  const ProfilePaths paths(id, global.baseDirectory);
  say(options.data ? Message{"deleted profile {0} and its data", {id.uppercaseString()}}
                   : Message{"deleted profile {0}; its directories remain in {1}",
                             {id.uppercaseString(), paths.root()}});
  return kExitSuccess;
}

int recoverProfiles(const GlobalOptions& global) {
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  const auto recovery = repositoryFor(global).recoverInterruptedDeletions();
  for (const auto& id : recovery.restored)
    say({"restored the data of profile {0} (its deletion never completed)",
         {id.uppercaseString()}});
  for (const auto& name : recovery.removed)
    say({"removed {0} (its profile was deleted)", {name}});
  for (const auto& name : recovery.retained)
    say({"left {0} in place (remove it by hand)", {name}});
  if (recovery == ProfileRepository::DeletionRecovery{})
    say("nothing to recover");
  return kExitSuccess;
}

// The options create and update share.
void addProfileOptions(CLI::App& command, ProfileOptions& options) {
  command.add_option("--color", options.color,
                     text("violet, blue, teal, yellow, orange, red, pink or gray"));
  auto* proxy = command.add_option("--proxy", options.proxy,
                                   text("A fixed proxy, scheme://host:port (http, https, socks5)"));
  auto* connection = command.add_option("--connection", options.connection,
                                        text("A saved VLESS connection's UUID"));
  proxy->excludes(connection);
  command.add_flag(
      "--allow-system-route", options.allowSystemRoute,
      text("With --connection: run over the system route when the connection is unavailable"));
  command
      .add_option("--env", options.environment,
                  text("KEY=VALUE for the application (repeatable; replaces the list)"))
      ->allow_extra_args(false);
  command
      .add_option(
          "--arg", options.arguments,
          text("A launch argument (repeatable; replaces the list; write --arg=--flag for one "
               "with dashes)"))
      ->allow_extra_args(false);
  command.add_flag("--json", options.json, text("Print the profile as JSON"));
}

const Registration kRegistration{
    {"profile", "Create, list, show, update or delete catalogued profiles",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       command.require_subcommand(1);
       auto options = std::make_shared<ProfileOptions>();

       auto* create = command.add_subcommand(
           "create", text("Add a profile for a verified application and create its tree"));
       create->add_option("NAME", options->name, text("1 to 60 characters"))->required();
       auto* installation =
           create->add_option("--installation", options->installation,
                              text("The application's installation record (JSON)"));
       auto* bundle = create->add_option(
           "--bundle", options->bundle,
           text("The application's .app directory, inspected as `korvelin app inspect` does"));
       installation->excludes(bundle);
       create->add_option("--id", options->id,
                          text("The new profile's UUID (default: a random one)"));
       addProfileOptions(*create, *options);
       create->footer(text(
           "The installation record is a JSON object with the keys bundleURL, displayName, "
           "bundleIdentifier,\n"
           "marketingVersion, buildVersion, executableURL, backendURL, architectures, "
           "signingTeamIdentifier,\n"
           "codeDirectoryHash, compatibilityStatus, executableIdentity and backendIdentity. The "
           "application\n"
           "must be one of the supported pairs of bundle and signing team, and approved for "
           "launching."));

       auto* list =
           command.add_subcommand("list", text("List the catalogued profiles, oldest first"));
       list->add_flag("--json", options->json, text("Print {durability, profiles} as JSON"));

       auto* show = command.add_subcommand("show", text("Show one profile"));
       show->add_option("ID", options->profile, text("The profile's UUID or unique name"))
           ->required();
       show->add_flag("--json", options->json, text("Print the profile as JSON"));

       auto* update = command.add_subcommand(
           "update", text("Change a profile's name, color, route, environment or arguments"));
       update->add_option("ID", options->profile, text("The profile's UUID or unique name"))
           ->required();
       update->add_option("--name", options->name, text("The new name"));
       addProfileOptions(*update, *options);
       update->add_flag("--direct", options->direct,
                        text("No proxy and no saved connection: the system route"));
       update->add_flag(
           "--forbid-system-route", options->forbidSystemRoute,
           text("Never fall back to the system route when the saved connection is unavailable"));
       update->add_flag("--clear-env", options->clearEnvironment,
                        text("Remove every environment variable"));
       update->add_flag("--clear-args", options->clearArguments,
                        text("Remove every launch argument"));
       update->footer(
           text("Options not given keep their value; --env and --arg replace the whole list."));

       auto* remove = command.add_subcommand("delete", text("Remove a profile from the catalogue"));
       remove->add_option("ID", options->profile, text("The profile's UUID or unique name"))
           ->required();
       remove->add_flag(
           "--data", options->data,
           text("Also remove its directory tree (refused while it has a launch lease)"));

       auto* recover = command.add_subcommand(
           "recover",
           text("Finish deletions a crash interrupted (every change also does this first)"));

       return [=, &global] {
         if (recover->parsed())
           return recoverProfiles(global);
         if (create->parsed())
           return createProfile(*options, global);
         if (list->parsed())
           return listProfiles(*options, global);
         if (show->parsed())
           return showProfile(*options, global);
         if (update->parsed())
           return updateProfile(*options, global);
         return deleteProfile(*options, global);
       };
     }}};

}  // namespace
}  // namespace korvelin::cli
