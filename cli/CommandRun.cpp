// korvelin run PROFILE-UUID [--env K=V]... [--json] [--stop-timeout S] -- PROGRAM [ARGS...]
// korvelin status PROFILE-UUID [--json]
// korvelin recover PROFILE-UUID [--dry-run]

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/HostClient.h"
#include "cli/RunSupervision.h"
#include "core/base/CoreError.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/files/FilePath.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfileEnvironment.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin::cli {
namespace {

struct RunOptions {
  std::string profile;
  std::vector<std::string> environment;
  std::vector<std::string> command;
  double stopTimeout = 10;
  bool json = false;
};

// The program to launch: a path with a "/" as given (made absolute), a bare
// name looked up in the host's PATH, as a shell would.
std::optional<std::string> resolveProgram(const std::string& program) {
  auto isExecutableFile = [](const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
  };
  if (program.find('/') != std::string::npos) {
    auto path = standardizedPath(program);
    return isExecutableFile(path) ? std::optional(path) : std::nullopt;
  }
  const char* searchPath = std::getenv("PATH");
  std::string_view rest = searchPath ? searchPath : "/usr/bin:/bin";
  while (true) {
    auto colon = rest.find(':');
    std::string directory(rest.substr(0, colon));
    if (!directory.empty() && directory.front() == '/') {
      std::string candidate = directory + "/" + program;
      if (isExecutableFile(candidate))
        return candidate;
    }
    if (colon == std::string_view::npos)
      return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

void report(const RunOptions& options,
            std::string_view event,
            const ProcessSnapshot& snapshot,
            const Message& message) {
  if (options.json) {
    nlohmann::json line = snapshot;
    line["event"] = event;
    std::cout << line.dump() << std::endl;
  } else {
    say(message);
  }
}

// The run as a client of the base's host, which supervises the program
// whatever becomes of this process. Absent when no host runs and none may be
// started: the run is then supervised here.
std::optional<int> runThroughHost(const RunOptions& options,
                                  const GlobalOptions& global,
                                  const Uuid& id,
                                  const std::string& program) {
  HostRequest request;
  request.operation = HostOperation::run;
  request.profileID = id;
  request.program = program;
  request.arguments.assign(options.command.begin() + 1, options.command.end());
  for (const auto& assignment : options.environment) {
    const auto equals = assignment.find('=');
    request.environment[assignment.substr(0, equals)] = assignment.substr(equals + 1);
  }
  request.wait = true;

  const sigset_t stopSignals = blockStopSignals();
  return throughHost(global, request, [&](HostExchange& exchange) {
    const auto started = exchange.first.at("run").get<ProcessSnapshot>();
    report(options, "started", started,
           {"run {0} pid {1} (log {2})",
            {started.runID.uppercaseString(), std::to_string(started.rootPID), started.logPath}});
    const auto confirmed =
        followHostedRun(exchange, global, id, options.stopTimeout, stopSignals, options.json);
    if (!confirmed)
      return kExitFailure;
    report(options, "completed", *confirmed, describeEnd(*confirmed));
    return exitStatusOf(*confirmed);
  });
}

int runProgram(RunOptions options, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(options.profile, global);
  if (!id)
    return kExitUsage;
  if (options.command.empty())
    return fail("no program given (korvelin run PROFILE -- PROGRAM [ARGS...])", kExitUsage);
  if (!(options.stopTimeout > 0))
    return fail("--stop-timeout must be greater than zero", kExitUsage);

  std::vector<ProfileEnvironmentVariable> variables;
  for (const auto& assignment : options.environment) {
    auto equals = assignment.find('=');
    if (equals == std::string::npos)
      return fail({"--env takes KEY=VALUE, got '{0}'", {assignment}}, kExitUsage);
    variables.push_back({assignment.substr(0, equals), assignment.substr(equals + 1)});
  }
  auto overrides = ProfileEnvironment::dictionary(variables);  // refuses managed names

  auto program = resolveProgram(options.command.front());
  if (!program)
    return fail({"program not found or not executable: {0}", {options.command.front()}});
  if (auto status = runThroughHost(options, global, *id, *program))
    return *status;

  auto instance = takeInstanceLease(global);
  if (!instance)
    return kExitFailure;

  ProfilePaths paths(*id, global.baseDirectory);
  ProfilePreparer(global.defaultBaseDirectory).prepare(paths);
  // The program's own home, configuration and cache live in the profile.
  overrides["HOME"] = paths.home();
  overrides["XDG_CONFIG_HOME"] = paths.config();
  overrides["XDG_CACHE_HOME"] = paths.cache();

  const sigset_t stopSignals = blockStopSignals();

  ProcessSupervisor supervisor;
  ProcessLaunchPlan plan{
      *program, std::vector<std::string>(options.command.begin() + 1, options.command.end()),
      overrides, paths, std::nullopt};
  auto started = supervisor.start(*id, plan, nullptr, nullptr);
  report(options, "started", started,
         {"run {0} pid {1} (log {2})",
          {started.runID.uppercaseString(), std::to_string(started.rootPID), started.logPath}});

  const ProcessSnapshot last = superviseUntilStopped(
      stopSignals,
      {[&] { return *supervisor.status(*id, paths); },
       [&] { return supervisor.stop(*id, paths, options.stopTimeout); },
       [&](int signal) {
         if (!options.json)
           say({"stopping ({0})...", {::strsignal(signal)}});
       },
       [&](const ProcessSnapshot& run) {
         std::ostringstream seconds;
         seconds << options.stopTimeout;
         report(options, "stop_timed_out", run,
                {"the program did not stop within {0} s; still supervising it (send the signal "
                 "again to ask "
                 "again)",
                 {seconds.str()}});
       }});
  auto confirmed = supervisor.confirmCompletion(*id, last.runID, paths);
  report(options, "completed", confirmed, describeEnd(confirmed));
  return exitStatusOf(confirmed);
}

// The run command line is read by hand: everything after the profile (and an
// optional "--") belongs to the program, whatever it looks like.
//   [OPTION]... PROFILE-UUID [OPTION]... [--] PROGRAM [ARGS...]
std::optional<Message> parseRunCommandLine(const std::vector<std::string>& tokens,
                                           RunOptions& options) {
  size_t i = 0;
  auto value = [&]() -> std::optional<std::string> {
    if (i + 1 >= tokens.size())
      return std::nullopt;
    return tokens[++i];
  };
  bool haveProfile = false;
  for (; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (token == "--") {
      ++i;
      break;
    }
    if (token == "--json") {
      options.json = true;
    } else if (token == "--env" || token.rfind("--env=", 0) == 0) {
      auto assignment = token == "--env" ? value() : std::optional(token.substr(6));
      if (!assignment)
        return "--env needs KEY=VALUE";
      options.environment.push_back(*assignment);
    } else if (token == "--stop-timeout" || token.rfind("--stop-timeout=", 0) == 0) {
      auto seconds = token == "--stop-timeout" ? value() : std::optional(token.substr(15));
      if (!seconds)
        return "--stop-timeout needs a number of seconds";
      try {
        size_t used = 0;
        options.stopTimeout = std::stod(*seconds, &used);
        if (used != seconds->size())
          throw std::invalid_argument("trailing text");
      } catch (const std::exception&) {
        return Message{"--stop-timeout needs a number of seconds, got '{0}'", {*seconds}};
      }
    } else if (!token.empty() && token.front() == '-') {
      return Message{"unknown option {0} (put the program after --)", {token}};
    } else if (!haveProfile) {
      options.profile = token;
      haveProfile = true;
    } else {
      break;  // the program
    }
  }
  if (!haveProfile)
    return "a profile identifier is required";
  options.command.assign(tokens.begin() + static_cast<long>(i), tokens.end());
  return std::nullopt;
}

const Registration kRun{
    {"run", "Run a program in a profile under supervision until it ends or is interrupted",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       command.prefix_command();
       command.footer(
           "Usage: korvelin run [--env KEY=VALUE]... [--json] [--stop-timeout SECONDS] "
           "PROFILE-UUID "
           "[--] PROGRAM [ARGS...]\n"
           "  --env KEY=VALUE         " +
           text("extra variable for the program (repeatable)") + "\n" +
           "  --json                  " + text("one JSON object per line: started, completed") +
           "\n" + "  --stop-timeout SECONDS  " +
           text("how long Ctrl-C waits for the group to stop (default 10)"));
       return [&global, &command] {
         RunOptions options;
         if (auto problem = parseRunCommandLine(command.remaining(), options))
           return fail(*problem, kExitUsage);
         return runProgram(std::move(options), global);
       };
     }}};

int showStatus(const std::string& profile, bool json, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(profile, global);
  if (!id)
    return kExitUsage;
  ProfilePaths paths(*id, global.baseDirectory);
  ProcessSupervisor supervisor;
  auto snapshot = supervisor.status(*id, paths);
  if (json) {
    printJson(snapshot ? nlohmann::json(*snapshot) : nlohmann::json(nullptr));
  } else {
    say(snapshot
            ? Message{"run {0}: {1}",
                      {snapshot->runID.uppercaseString(), std::string(rawValue(snapshot->state))}}
            : Message("no supervised run and no launch lease"));
  }
  return kExitSuccess;
}

const Registration kStatus{
    {"status", "Show whether a profile has a launch lease that needs recovery",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto profile = std::make_shared<std::string>();
       auto json = std::make_shared<bool>(false);
       command.add_option("PROFILE-UUID", *profile, text("Profile identifier"))->required();
       command.add_flag("--json", *json, text("Print JSON (null when there is no run)"));
       return [profile, json, &global] { return showStatus(*profile, *json, global); };
     }}};

int recover(const std::string& profile, bool dryRun, const GlobalOptions& global) {
  auto id = resolveProfileIdentifier(profile, global);
  if (!id)
    return kExitUsage;
  ProfilePaths paths(*id, global.baseDirectory);
  ProcessSupervisor supervisor;
  if (dryRun) {
    supervisor.canRecoverStaleLease(*id, paths);
    say("the launch lease can be recovered: its run and process group are gone");
    return kExitSuccess;
  }
  auto instance = takeInstanceLease(global);
  if (!instance)
    return kExitFailure;
  supervisor.recoverStaleLease(*id, paths);
  say({"launch lease recovered; evidence written to {0}", {paths.logs()}});
  return kExitSuccess;
}

const Registration kRecover{
    {"recover", "Remove a stale launch lease once its run is proven gone",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto profile = std::make_shared<std::string>();
       auto dryRun = std::make_shared<bool>(false);
       command.add_option("PROFILE-UUID", *profile, text("Profile identifier"))->required();
       command.add_flag("--dry-run", *dryRun, text("Only check whether recovery would succeed"));
       return [profile, dryRun, &global] { return recover(*profile, *dryRun, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
