#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "cli/Command.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/base/CoreError.h"
#include "core/platform/Paths.h"

namespace {

// The host, not the library, reads the environment.
std::string defaultBase() {
  const char* home = std::getenv("HOME");
  const char* xdg = std::getenv("XDG_DATA_HOME");
  return korvelin::platform::defaultBaseDirectory(
      home ? home : "", xdg ? std::optional<std::string_view>(xdg) : std::nullopt);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace korvelin;
  using namespace korvelin::cli;

  // A reader that goes away (`korvelin run ... | head`) must not end a
  // command that supervises a program or a proxy: writes to it fail instead,
  // and the work goes on. Every child gets its signals reset to defaults.
  ::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"Korvelin runs isolated profiles of desktop AI applications side by side."};
  app.name("korvelin");
  app.set_version_flag("--version", "korvelin " KORVELIN_VERSION);
  app.require_subcommand(1);
  // CLI11 quotes what it could not place, which may be a link: its messages
  // pass through the same filter as every other usage error.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "korvelin: " + shownErrorText(e.what(), true) + " (see --help)\n";
  });

  GlobalOptions global;
  global.defaultBaseDirectory = defaultBase();
  global.baseDirectory = global.defaultBaseDirectory;
  app.add_option("--base", global.baseDirectory, "Profile base directory")
      ->capture_default_str();

  auto commands = registeredCommands();
  std::sort(commands.begin(), commands.end(),
            [](const CommandSpec& a, const CommandSpec& b) { return a.name < b.name; });
  std::vector<std::pair<CLI::App*, Runner>> runners;
  for (const auto& definition : commands) {
    CLI::App* command = app.add_subcommand(definition.name, definition.description);
    runners.emplace_back(command, definition.setup(*command, global));
  }
  std::vector<std::string> names;
  std::vector<const CLI::App*> pending = {&app};
  while (!pending.empty()) {
    const CLI::App* command = pending.back();
    pending.pop_back();
    for (const CLI::App* sub : command->get_subcommands({})) {
      names.push_back(sub->get_name());
      pending.push_back(sub);
    }
  }
  rememberCommandLine(std::vector<std::string>(argv + 1, argv + argc), std::move(names));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);
    return status == 0 ? kExitSuccess : kExitUsage;
  }
  global.baseGiven = app.get_option("--base")->count() > 0;

  try {
    for (auto& [command, runner] : runners)
      if (command->parsed()) return runner();
  } catch (const KorvelinCoreError& e) {
    return fail(e.errorDescription());
  } catch (const ApplicationInstanceLeaseError& e) {
    return fail(e.errorDescription());
  } catch (const std::exception& e) {
    return fail(std::string("unexpected failure: ") + e.what());
  }
  return kExitUsage;
}
