// korvelin journal PROFILE-UUID [--json] [--limit N]

#include <iostream>
#include <limits>
#include <memory>

#include "cli/Command.h"
#include "core/activity/ProfileActivityJournal.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin::cli {
namespace {

// Only the newest part of a very long journal is read; at several hundred
// bytes per event this is tens of thousands of events.
constexpr std::size_t kJournalReadBytes = 8 << 20;

struct JournalOptions {
  std::string profile;
  bool json = false;
  int limit = 0;  // 0: every event read
};

int showJournal(const JournalOptions& options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  const ProfilePaths paths(*id, global.baseDirectory);
  const auto contents = readProfileActivityJournal(paths, kJournalReadBytes);

  const auto& events = contents.events;
  const std::size_t limit = static_cast<std::size_t>(options.limit);
  const std::size_t first = limit > 0 && limit < events.size() ? events.size() - limit : 0;
  for (std::size_t i = first; i < events.size(); ++i) {
    const auto& event = events[i];
    if (options.json) {
      std::cout << activityEventJSON(event) << '\n';
      continue;
    }
    // The detail was composed in English when the event was recorded.
    printLine(localDateText(event.occurredAt.unixTime()) + "  " +
              std::string(rawValue(event.kind)) + "  " +
              (event.proxyName ? *event.proxyName + ": " : "") +
              AppLocalization::render(event.detail, outputLanguage()));
  }
  if (events.empty() && !options.json)
    say("no activity recorded for this profile");
  if (contents.ignoredLineCount > 0) {
    const Message note{"note: {0} journal line(s) skipped (unreadable, cut, or of another profile)",
                       {std::to_string(contents.ignoredLineCount)}};
    if (options.json)
      std::cerr << printableText(text(note)) << '\n';
    else
      say(note);
  }
  return kExitSuccess;
}

const Registration kRegistration{
    {"journal", "Show a profile's activity journal (proxy events), oldest first",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<JournalOptions>();
       command.add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       command.add_flag("--json", options->json,
                        text("Print each event as its journal line (one JSON object per line)"));
       command.add_option("--limit", options->limit, text("Show only the newest N events"))
           ->check(CLI::Range(1, std::numeric_limits<int>::max()));
       return [options, &global] { return showJournal(*options, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
