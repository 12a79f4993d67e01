// korvelin history [PROFILE...] [--limit N] [--json]

#include <iostream>
#include <limits>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/Text.h"
#include "core/activity/ProfileActivityReader.h"
#include "core/profile/ProfileRepository.h"

namespace korvelin::cli {
namespace {

struct HistoryOptions {
  std::vector<std::string> profiles;
  int limit = 100;
  bool json = false;
};

int showHistory(const HistoryOptions& options, const GlobalOptions& global) {
  std::vector<Uuid> ids;
  for (const auto& profile : options.profiles) {
    auto id = resolveProfileIdentifier(profile, global);
    if (!id)
      return kExitUsage;
    ids.push_back(*id);
  }
  if (options.profiles.empty())
    for (const auto& profile :
         ProfileRepository(global.baseDirectory, global.defaultBaseDirectory).load().profiles)
      ids.push_back(profile.id);

  ProfileActivityReader reader;
  reader.maximumEvents = static_cast<std::size_t>(options.limit);
  const auto history = reader.read(ids, global.baseDirectory);
  if (options.json) {
    nlohmann::json events = nlohmann::json::array();
    for (const auto& event : history.events) {
      nlohmann::json line = {{"id", event.id},
                             {"profileID", event.profileID.uppercaseString()},
                             {"kind", rawValue(event.kind)},
                             {"occurredAt", event.occurredAt},
                             {"summary", event.summary}};
      if (event.runID)
        line["runID"] = event.runID->uppercaseString();
      events.push_back(line);
    }
    printJson({{"events", events}, {"ignoredEntryCount", history.ignoredEntryCount}});
    return kExitSuccess;
  }
  if (history.events.empty())
    say("no history recorded");
  for (const auto& event : history.events)
    printLine(localDateText(event.occurredAt) + "  " + event.profileID.uppercaseString() + "  " +
              std::string(rawValue(event.kind)) + "  " + event.summary);
  if (history.ignoredEntryCount > 0)
    say({"note: {0} entries skipped (unsafe files, unreadable lines, other profiles)",
         {std::to_string(history.ignoredEntryCount)}});
  return kExitSuccess;
}

const Registration kRegistration{
    {"history",
     "Show what happened to profiles (launches, stops, recoveries, proxy events), newest first",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<HistoryOptions>();
       command.add_option("PROFILE", options->profiles,
                          text("Profile identifiers or names (default: every catalogued profile)"));
       command.add_option("--limit", options->limit, text("Show at most N events (default 100)"))
           ->check(CLI::Range(1, 100000));
       command.add_flag("--json", options->json,
                        text("Print {\"events\": [...], \"ignoredEntryCount\": N}"));
       return [options, &global] { return showHistory(*options, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
