// korvelin connection add NAME --link LINK|- [--id UUID] [--json]
// korvelin connection list [--json]
// korvelin connection show ID [--reveal] [--json]
// korvelin connection rename ID NAME [--link LINK|-] [--json]
// korvelin connection remove ID

#include <iostream>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/Text.h"
#include "core/base/CoreError.h"
#include "core/base/Iso8601Date.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/profile/ProfileRepository.h"
#include "core/proxy/VLESSConnectionRepository.h"

namespace korvelin::cli {
namespace {

struct ConnectionOptions {
  std::string id;
  std::string name;
  std::string link;
  bool reveal = false;
  bool json = false;
};

VLESSConnectionRepository repositoryFor(const GlobalOptions& global) {
  return VLESSConnectionRepository(global.baseDirectory, global.defaultBaseDirectory);
}

// The link a command line gives: the text, or one line of standard input for "-".
std::string linkFrom(const std::string& option) {
  if (option != "-")
    return option;
  auto link = readLinkFromStandardInput();
  if (!link)
    throw KorvelinCoreError::invalidVLESSConfiguration();
  return *link;
}

std::optional<Uuid> parsedID(const std::string& text) {
  auto id = Uuid::parse(text);
  if (!id)
    fail("a connection is named by its UUID (see korvelin connection list)", kExitUsage);
  return id;
}

nlohmann::json connectionJSON(const VLESSConnection& connection) {
  nlohmann::json json = connection;
  json["transport"] = rawValue(connection.transport);
  return json;
}

void printConnection(const VLESSConnection& connection) {
  printRows({{"id:", connection.id.uppercaseString()},
             {"name:", connection.name},
             {"transport:", std::string(displayName(connection.transport))},
             {"created:", iso8601String(connection.createdAt)},
             {"updated:", iso8601String(connection.updatedAt)}},
            11);
}

int show(const VLESSConnection& connection, bool json) {
  if (json)
    printJson(connectionJSON(connection));
  else
    printConnection(connection);
  return kExitSuccess;
}

int add(const ConnectionOptions& options, const GlobalOptions& global) {
  Uuid id = Uuid::random();
  if (!options.id.empty()) {
    auto given = parsedID(options.id);
    if (!given)
      return kExitUsage;
    id = *given;
  }
  const std::string link = linkFrom(options.link);
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  return show(repositoryFor(global).create(id, options.name, link), options.json);
}

int list(const ConnectionOptions& options, const GlobalOptions& global) {
  const auto snapshot = repositoryFor(global).load();
  if (options.json) {
    nlohmann::json connections = nlohmann::json::array();
    for (const auto& connection : snapshot.connections)
      connections.push_back(connectionJSON(connection));
    printJson({{"connections", connections}});
    return kExitSuccess;
  }
  if (snapshot.connections.empty())
    say("no saved connections");
  for (const auto& connection : snapshot.connections)
    printLine(connection.id.uppercaseString() + "  " +
              std::string(displayName(connection.transport)) + "  " + connection.name);
  return kExitSuccess;
}

int showOne(const ConnectionOptions& options, const GlobalOptions& global) {
  auto id = parsedID(options.id);
  if (!id)
    return kExitUsage;
  const auto repository = repositoryFor(global);
  const auto snapshot = repository.load();
  for (const auto& connection : snapshot.connections) {
    if (connection.id != *id)
      continue;
    if (!options.reveal)
      return show(connection, options.json);
    // Asked for in so many words: the link, and nothing else, on its own line.
    const auto link = repository.savedURI(*id);
    if (options.json) {
      auto json = connectionJSON(connection);
      json["link"] = link;
      printJson(json);
    } else {
      std::cout << link << '\n';
    }
    return kExitSuccess;
  }
  throw KorvelinCoreError::proxyConnectionNotFound();
}

int rename(const ConnectionOptions& options, const GlobalOptions& global) {
  auto id = parsedID(options.id);
  if (!id)
    return kExitUsage;
  std::optional<std::string> link;
  if (!options.link.empty())
    link = linkFrom(options.link);
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  return show(repositoryFor(global).update(*id, options.name, link), options.json);
}

int remove(const ConnectionOptions& options, const GlobalOptions& global) {
  auto id = parsedID(options.id);
  if (!id)
    return kExitUsage;
  auto lease = takeInstanceLease(global);
  if (!lease)
    return kExitFailure;
  std::set<Uuid> used;
  for (const auto& profile :
       ProfileRepository(global.baseDirectory, global.defaultBaseDirectory).load().profiles)
    if (profile.proxyConnectionID)
      used.insert(*profile.proxyConnectionID);
  repositoryFor(global).remove(*id, used);
  say({"removed connection {0}", {id->uppercaseString()}});
  return kExitSuccess;
}

const Registration kRegistration{
    {"connection",
     "Save, list, rename and remove VLESS connections that profiles and proxy start use",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<ConnectionOptions>();
       auto action = std::make_shared<int (*)(const ConnectionOptions&, const GlobalOptions&)>();
       command.require_subcommand(1);
       command.footer(text(
           "A saved connection keeps a vless:// link under a name. The link lives in its own "
           "private file (ProxyConnections/Secrets/<uuid>.vless in the base) and is printed only "
           "by "
           "'show --reveal'; every other output shows the name, transport and dates. Names are "
           "1 to 60 characters and unique without regard to letter case (\"Straße\" and "
           "\"STRASSE\" are the same name). At most 50 connections are kept."));
       auto* add =
           command.add_subcommand("add", text("Save a link under a name (prints the new UUID)"));
       add->add_option("NAME", options->name, text("The connection's name"))->required();
       add->add_option("--link", options->link,
                       text("The vless:// link, or - to read it from standard input"))
           ->required();
       add->add_option("--id", options->id, text("The UUID to use (default: a random one)"));
       add->add_flag("--json", options->json, text("Print the connection as JSON"));
       add->callback([action] { *action = &cli::add; });

       auto* list = command.add_subcommand(
           "list", text("The saved connections, by name (never their links)"));
       list->add_flag("--json", options->json, text("Print {\"connections\": [...]}"));
       list->callback([action] { *action = &cli::list; });

       auto* show = command.add_subcommand("show", text("One saved connection"));
       show->add_option("ID", options->id, text("The connection's UUID"))->required();
       show->add_flag("--reveal", options->reveal, text("Print the saved link itself"));
       show->add_flag("--json", options->json,
                      text("Print the connection as JSON (with --reveal: and \"link\")"));
       show->callback([action] { *action = &showOne; });

       auto* rename = command.add_subcommand(
           "rename", text("Give a connection a new name, and optionally a new link"));
       rename->add_option("ID", options->id, text("The connection's UUID"))->required();
       rename->add_option("NAME", options->name, text("The new name (may be the old one)"))
           ->required();
       rename->add_option("--link", options->link,
                          text("A new vless:// link, or - to read it from standard input"));
       rename->add_flag("--json", options->json, text("Print the connection as JSON"));
       rename->callback([action] { *action = &cli::rename; });

       auto* remove =
           command.add_subcommand("remove", text("Delete a connection no catalogued profile uses"));
       remove->add_option("ID", options->id, text("The connection's UUID"))->required();
       remove->callback([action] { *action = &cli::remove; });
       return [options, action, &global] { return (*action)(*options, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
