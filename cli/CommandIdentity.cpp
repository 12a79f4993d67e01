// korvelin identity PID [--json] [--arguments]

#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/platform/ProcessInfo.h"
#include "core/process/LiveProcessIdentity.h"

namespace korvelin::cli {
namespace {

struct IdentityOptions {
  std::string pid;
  bool json = false;
  bool arguments = false;
};

int runIdentity(const IdentityOptions& options) {
  auto pid = parseProcessIdentifier(options.pid);
  if (!pid)
    return fail(
        {"invalid process identifier '{0}': expected a positive decimal number", {options.pid}},
        kExitUsage);

  if (options.arguments) {
    auto arguments = liveArguments(*pid);
    if (!arguments)
      return fail({"cannot read the arguments of process {0}", {options.pid}});
    if (options.json) {
      printJson(*arguments);
    } else {
      // One line per argument: a line break inside one is shown as "?" too.
      for (const auto& argument : *arguments)
        printLine(argument);
    }
    return kExitSuccess;
  }

  auto identity = LiveProcessIdentity::capture(*pid);
  if (!identity)
    return fail(
        {"no live process {0} of this user (exited, a zombie, or another user's)", {options.pid}});
  if (options.json) {
    printJson(*identity);
    return kExitSuccess;
  }
  std::ostringstream start;
  start << identity->startSeconds << '.' << std::setw(6) << std::setfill('0')
        << identity->startMicroseconds;
  const auto record = platform::processRecord(*pid);
  printRows({{"pid", std::to_string(identity->pid)},
             {"group", std::to_string(identity->group)},
             {"uid", std::to_string(identity->uid)},
             {"started", record ? localDateText(record->startDate) : text("(unknown)")},
             {"start time", start.str()},
             {"executable", identity->executable},
             {"boot session", identity->bootSessionID}},
            15);
  return kExitSuccess;
}

const Registration kRegistration{
    {"identity",
     "Show the identity of a live process (pid, group, user, start time, executable, boot session)",
     [](CLI::App& command, const GlobalOptions&) -> Runner {
       auto options = std::make_shared<IdentityOptions>();
       command.add_option("PID", options->pid, text("Process identifier"))->required();
       command.add_flag("--json", options->json, text("Print one JSON object"));
       command.add_flag("--arguments", options->arguments,
                        text("Print the live argument vector instead"));
       return [options] { return runIdentity(*options); };
     }}};

}  // namespace
}  // namespace korvelin::cli
