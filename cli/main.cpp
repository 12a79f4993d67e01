#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "cli/Command.h"
#include "core/base/CoreError.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/platform/Paths.h"

namespace {

// The host, not the library, reads the environment.
std::string defaultBase() {
  const char* home = std::getenv("HOME");
  const char* xdg = std::getenv("XDG_DATA_HOME");
  return korvelin::platform::defaultBaseDirectory(
      home ? home : "", xdg ? std::optional<std::string_view>(xdg) : std::nullopt);
}

// The value of the global --language (or --language=VALUE), which comes
// before the command's name; absent when not given.
std::optional<std::string> languageOption(int argc, char** argv) {
  std::optional<std::string> value;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--language" && i + 1 < argc) {
      value = argv[++i];
    } else if (argument.starts_with("--language=")) {
      value = std::string(argument.substr(11));
    } else if (argument == "--base") {
      ++i;
    } else if (!argument.starts_with("-") || argument == "--") {
      break;  // the command's name: what follows is the command's
    }
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace korvelin;
  using namespace korvelin::cli;

  // A reader that goes away (`korvelin run ... | head`) must not end a
  // command that supervises a program or a proxy: writes to it fail instead,
  // and the work goes on. Every child gets its signals reset to defaults.
  ::signal(SIGPIPE, SIG_IGN);

  // The language is needed before the options are described, so --language
  // is read ahead of the parser (which then checks it like any option).
  std::optional<std::string> language = languageOption(argc, argv);
  setOutputLanguage(
      languageFromHost(language && languageFromCode(*language) ? language : std::nullopt));

  CLI::App app{text("Korvelin runs isolated profiles of desktop AI applications side by side.")};
  app.name("korvelin");
  app.set_version_flag("--version", "korvelin " KORVELIN_VERSION,
                       text("Display program version information and exit"));
  app.set_help_flag("-h,--help", text("Print this help message and exit"));
  app.require_subcommand(1);
  // CLI11 quotes what it could not place, which may be a link: its messages
  // (in English) pass through the same filter as every other usage error,
  // inside a translated frame.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "korvelin: " + shownErrorText(text({"{0} (see --help)", {e.what()}}), true) + "\n";
  });
  app.add_option("--language", language,
                 text("Language of the text printed for people: en, ru or zh-Hans (default: from "
                      "LANGUAGE, LC_ALL, LC_MESSAGES or LANG)"))
      ->check(CLI::IsMember({"en", "ru", "zh-Hans"}));

  GlobalOptions global;
  global.defaultBaseDirectory = defaultBase();
  global.baseDirectory = global.defaultBaseDirectory;
  app.add_option("--base", global.baseDirectory, text("Profile base directory"))
      ->capture_default_str();
  app.add_flag("--no-host-start", global.noHostStart,
               text("Never start a host on demand: without a running host, commands do their "
                    "work in this process"));

  auto commands = registeredCommands();
  std::sort(commands.begin(), commands.end(),
            [](const CommandSpec& a, const CommandSpec& b) { return a.name < b.name; });
  std::vector<std::pair<CLI::App*, Runner>> runners;
  for (const auto& definition : commands) {
    CLI::App* command = app.add_subcommand(definition.name, text({definition.description, {}}));
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
      if (command->parsed())
        return runner();
  } catch (const KorvelinCoreError& e) {
    return failComposed(e.errorDescription());
  } catch (const ApplicationInstanceLeaseError& e) {
    return failComposed(e.errorDescription());
  } catch (const std::exception& e) {
    return fail({"unexpected failure: {0}", {e.what()}});
  }
  return kExitUsage;
}
