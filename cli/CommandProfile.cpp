// korvelin profile create|list|show|update|delete|recover

#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/apps/CodexInstallation.h"
#include "core/base/Iso8601Date.h"
#include "core/base/JsonSupport.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/platform/FileUtil.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileRepository.h"

namespace korvelin::cli {
namespace {

// An installation record is a few hundred bytes; anything near this is not one.
constexpr std::size_t kInstallationRecordBytes = 65536;

struct ProfileOptions {
  std::string profile;  // UUID or name (show, update, delete)
  std::string name;     // create: NAME; update: --name
  std::string installation;
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
  std::cout << "name:         " << printableText(profile.name) << '\n'
            << "id:           " << profile.id.uppercaseString() << '\n'
            << "color:        " << rawValue(profile.color) << '\n'
            << "application:  " << printableText(profile.application.displayName) << ' '
            << printableText(profile.application.marketingVersion) << " ("
            << printableText(profile.application.buildVersion) << "), "
            << printableText(profile.application.bundleIdentifier) << '\n'
            << "bundle:       " << printableText(profile.application.bundlePath) << '\n'
            << "adapter:      " << profile.adapterIdentifier << '\n';
  if (profile.proxy)
    std::cout << "route:        proxy " << profile.proxy->uri() << '\n';
  else if (profile.proxyConnectionID)
    std::cout << "route:        saved connection " << profile.proxyConnectionID->uppercaseString()
              << (profile.allowSystemRouteFallback
                      ? " (system route allowed when it is unavailable)"
                      : "")
              << '\n';
  else
    std::cout << "route:        system\n";
  for (const auto& variable : profile.environmentVariables)
    std::cout << "environment:  " << variable.name << '=' << printableText(variable.value) << '\n';
  for (const auto& argument : profile.launchArguments)
    std::cout << "argument:     " << printableText(argument) << '\n';
  std::cout << "created:      " << iso8601String(profile.createdAt) << '\n'
            << "directory:    " << paths.root() << '\n';
}

void printResult(const AppProfile& profile,
                 bool json,
                 const std::string& verb,
                 const GlobalOptions& global) {
  if (json)
    return printJson(nlohmann::json(profile));
  std::cout << verb << " profile " << printableText(profile.name) << '\n';
  printProfile(profile, global);
}

std::optional<CodexInstallation> readInstallation(const std::string& path) {
  std::string text;
  switch (platform::readRegularFileBounded(path, kInstallationRecordBytes, text)) {
    case platform::BoundedReadStatus::ok:
      break;
    case platform::BoundedReadStatus::tooLarge:
      fail("installation record " + path + " is larger than " +
           std::to_string(kInstallationRecordBytes) + " bytes");
      return std::nullopt;
    case platform::BoundedReadStatus::unreadable:
      fail("cannot read installation record " + path + " (a regular file is needed)");
      return std::nullopt;
  }
  try {
    return nlohmann::json::parse(text).get<CodexInstallation>();
  } catch (const nlohmann::json::exception& e) {
    fail("invalid installation record " + path + ": " + e.what());
  } catch (const jsonio::ShapeError& e) {
    fail("invalid installation record " + path + ": " + e.what());
  }
  return std::nullopt;
}

// Applies the options that create and update share to `draft`; a one-line
// usage error (returned as its status) for anything malformed.
std::optional<int> applyOptions(const ProfileOptions& options, ProfileRepository::Draft& draft) {
  if (!options.color.empty()) {
    auto color = profileColorTokenFromRawValue(options.color);
    if (!color) {
      std::string names;
      for (auto token : kAllProfileColorTokens)
        names += (names.empty() ? "" : ", ") + std::string(rawValue(token));
      return fail("unknown color '" + options.color + "' (one of " + names + ")", kExitUsage);
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
      return fail("invalid connection identifier '" + options.connection + "': expected a UUID",
                  kExitUsage);
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
      return fail("--env takes KEY=VALUE, got '" + assignment + "'", kExitUsage);
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
  if (auto status = applyOptions(options, draft))
    return *status;
  auto installation = readInstallation(options.installation);
  if (!installation)
    return kExitFailure;
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  printResult(repositoryFor(global).create(draft, *installation), options.json, "created", global);
  return kExitSuccess;
}

int listProfiles(const ProfileOptions& options, const GlobalOptions& global) {
  const auto snapshot = repositoryFor(global).load();
  if (options.json) {
    printJson({{"durability", rawValue(snapshot.durability)}, {"profiles", snapshot.profiles}});
    return kExitSuccess;
  }
  for (const auto& profile : snapshot.profiles) {
    const std::string route = profile.proxy ? profile.proxy->uri()
                              : profile.proxyConnectionID
                                  ? "connection " + profile.proxyConnectionID->uppercaseString()
                                  : "system";
    std::cout << profile.id.uppercaseString() << "  " << printableText(profile.name) << "  ("
              << printableText(profile.application.displayName) << ", " << rawValue(profile.color)
              << ", " << route << ")\n";
  }
  if (snapshot.profiles.empty())
    std::cout << "no profiles\n";
  if (snapshot.durability == ProfileCatalogDurability::unconfirmed)
    std::cerr
        << "note: the catalogue's last change may not survive a crash (a directory sync failed)\n";
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
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  auto current = catalogued(*id, global);
  if (!current)
    throw KorvelinCoreError::profileNotFound(*id);
  ProfileRepository::Draft draft{current->id,
                                 options.name.empty() ? current->name : options.name,
                                 current->color,
                                 current->proxy,
                                 current->proxyConnectionID,
                                 current->allowSystemRouteFallback,
                                 current->environmentVariables,
                                 current->launchArguments};
  if (auto status = applyOptions(options, draft))
    return *status;
  printResult(repositoryFor(global).update(draft), options.json, "updated", global);
  return kExitSuccess;
}

int deleteProfile(const ProfileOptions& options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  repositoryFor(global).remove(*id, options.data);
  const ProfilePaths paths(*id, global.baseDirectory);
  std::cout << "deleted profile " << id->uppercaseString()
            << (options.data ? " and its data" : "; its directories remain in " + paths.root())
            << '\n';
  return kExitSuccess;
}

int recoverProfiles(const GlobalOptions& global) {
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  const auto recovery = repositoryFor(global).recoverInterruptedDeletions();
  for (const auto& id : recovery.restored)
    std::cout << "restored the data of profile " << id.uppercaseString()
              << " (its deletion never completed)\n";
  for (const auto& name : recovery.removed)
    std::cout << "removed " << name << " (its profile was deleted)\n";
  for (const auto& name : recovery.retained)
    std::cout << "left " << name << " in place (remove it by hand)\n";
  if (recovery == ProfileRepository::DeletionRecovery{})
    std::cout << "nothing to recover\n";
  return kExitSuccess;
}

// The options create and update share.
void addProfileOptions(CLI::App& command, ProfileOptions& options) {
  command.add_option("--color", options.color,
                     "violet, blue, teal, yellow, orange, red, pink or gray");
  auto* proxy = command.add_option("--proxy", options.proxy,
                                   "A fixed proxy, scheme://host:port (http, https, socks5)");
  auto* connection =
      command.add_option("--connection", options.connection, "A saved VLESS connection's UUID");
  proxy->excludes(connection);
  command.add_flag(
      "--allow-system-route", options.allowSystemRoute,
      "With --connection: run over the system route when the connection is unavailable");
  command
      .add_option("--env", options.environment,
                  "KEY=VALUE for the application (repeatable; replaces the list)")
      ->allow_extra_args(false);
  command
      .add_option("--arg", options.arguments,
                  "A launch argument (repeatable; replaces the list; write --arg=--flag for one "
                  "with dashes)")
      ->allow_extra_args(false);
  command.add_flag("--json", options.json, "Print the profile as JSON");
}

const Registration kRegistration{
    {"profile", "Create, list, show, update or delete catalogued profiles",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       command.require_subcommand(1);
       auto options = std::make_shared<ProfileOptions>();

       auto* create = command.add_subcommand(
           "create", "Add a profile for a verified application and create its tree");
       create->add_option("NAME", options->name, "1 to 60 characters")->required();
       create
           ->add_option("--installation", options->installation,
                        "The application's installation record (JSON)")
           ->required();
       create->add_option("--id", options->id, "The new profile's UUID (default: a random one)");
       addProfileOptions(*create, *options);
       create->footer(
           "The installation record is a JSON object with the keys bundleURL, displayName, "
           "bundleIdentifier,\n"
           "marketingVersion, buildVersion, executableURL, backendURL, architectures, "
           "signingTeamIdentifier,\n"
           "codeDirectoryHash, compatibilityStatus, executableIdentity and backendIdentity. The "
           "application\n"
           "must be one of the supported pairs of bundle and signing team, and approved for "
           "launching.");

       auto* list = command.add_subcommand("list", "List the catalogued profiles, oldest first");
       list->add_flag("--json", options->json, "Print {durability, profiles} as JSON");

       auto* show = command.add_subcommand("show", "Show one profile");
       show->add_option("ID", options->profile, "The profile's UUID or unique name")->required();
       show->add_flag("--json", options->json, "Print the profile as JSON");

       auto* update = command.add_subcommand(
           "update", "Change a profile's name, color, route, environment or arguments");
       update->add_option("ID", options->profile, "The profile's UUID or unique name")->required();
       update->add_option("--name", options->name, "The new name");
       addProfileOptions(*update, *options);
       update->add_flag("--direct", options->direct,
                        "No proxy and no saved connection: the system route");
       update->add_flag(
           "--forbid-system-route", options->forbidSystemRoute,
           "Never fall back to the system route when the saved connection is unavailable");
       update->add_flag("--clear-env", options->clearEnvironment,
                        "Remove every environment variable");
       update->add_flag("--clear-args", options->clearArguments, "Remove every launch argument");
       update->footer(
           "Options not given keep their value; --env and --arg replace the whole list.");

       auto* remove = command.add_subcommand("delete", "Remove a profile from the catalogue");
       remove->add_option("ID", options->profile, "The profile's UUID or unique name")->required();
       remove->add_flag("--data", options->data,
                        "Also remove its directory tree (refused while it has a launch lease)");

       auto* recover = command.add_subcommand(
           "recover", "Finish deletions a crash interrupted (every change also does this first)");

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
