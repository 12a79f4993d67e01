// korvelin demo [--base DIR] [--xray PATH] [--link LINK|-] [--guardian PATH]
//
// The life of a proxied profile, step by step, in a fresh base directory: a
// profile, a guarded sidecar, an application started the way a
// Chromium-based one is (its data directory and proxy on the command line)
// whose requests cross the sidecar to a loopback echo server, the guardian
// attached to it, health, the journal, and an orderly stop. Given a real
// engine and no link, the requests cross a loopback REALITY server run by
// that engine too, so the whole path is the one a user's profile takes.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

#include "cli/Command.h"
#include "cli/SidecarSetup.h"
#include "core/activity/ProfileActivityJournal.h"
#include "core/base/CoreError.h"
#include "core/process/ProcessSupervisor.h"
#include "core/proxy/VLESSConnection.h"
#include "demo/LoopbackEchoServer.h"
#include "demo/LoopbackRealityServer.h"

namespace korvelin::cli {
namespace {

// A well-formed link to a server that need not exist: the only link the
// stand-in engine may serve, since it forwards directly and never contacts it.
constexpr const char* kSampleLink =
    "vless://b831381d-6324-4d53-ad4f-8cda48b30811@127.0.0.1:443?type=tcp&security=reality"
    "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc&sid=6ba85179e30d4fc2&sni=www.example.com"
    "&fp=chrome&flow=xtls-rprx-vision#demo";

// What the demo application does: fetch the echo URL through the proxy its
// command line names, a few times a second, appending each answer to a file
// in its home.
constexpr const char* kApplicationScript =
    "proxy=${2#--proxy-server=}; n=0; "
    "while [ $n -lt 600 ]; do "
    "/usr/bin/curl --silent --max-time 5 --proxy \"$proxy\" \"$ECHO_URL\" >> \"$HOME/traffic.log\" "
    "&& echo >> \"$HOME/traffic.log\"; n=$((n+1)); sleep 0.2; done";

struct DemoOptions {
  std::string base;
  std::string link;
  bool engineGiven = false;  // --xray: a real engine, which can serve a server of our own
  SidecarTools tools = defaultSidecarTools();
};

class Steps {
 public:
  void say(const Message& message) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::cout << "[" << std::fixed << std::setprecision(3) << std::setw(7) << seconds << "s] "
              << printableText(text(message)) << std::endl;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The base directory: `requested` (created private when missing; an
// existing one is checked like every base when the profile is prepared), or
// a new one in /tmp. Absent when it cannot be made.
std::optional<std::string> demoBase(const std::string& requested) {
  if (requested.empty()) {
    std::string pattern = "/tmp/korvelin-demo-XXXXXX";
    if (!::mkdtemp(pattern.data()))
      return std::nullopt;
    return pattern;
  }
  if (::mkdir(requested.c_str(), 0700) != 0 && errno != EEXIST)
    return std::nullopt;
  return requested;
}

std::size_t countLines(const std::string& path) {
  std::ifstream in(path);
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line);)
    if (!line.empty())
      ++lines;
  return lines;
}

std::size_t countAcceptedConnections(const std::string& accessLog) {
  std::ifstream in(accessLog);
  std::size_t count = 0;
  for (std::string line; std::getline(in, line);)
    if (line.find(" accepted ") != std::string::npos)
      ++count;
  return count;
}

std::string describe(const VLESSRuntimeHealth& health) {
  if (health.isAvailable())
    return text({"available, egress address {0}", {health.externalIP}});
  return text(health.isRecoveryRequired() ? "recovery required" : "unavailable");
}

int runDemo(const DemoOptions& options) {
  Steps steps;
  const auto chosen = demoBase(options.base);
  if (!chosen)
    return fail(options.base.empty()
                    ? Message("could not create a directory in /tmp")
                    : Message{"could not create the base directory {0}", {options.base}});
  const std::string base = *chosen;
  steps.say({"base directory {0} (kept afterwards for inspection)", {base}});

  const Uuid profileID = Uuid::random();
  ProfilePaths paths(profileID, base);
  ProfilePreparer(base).prepare(paths);
  steps.say({"profile {0} prepared at {1}", {profileID.uppercaseString(), paths.root()}});

  demo::LoopbackEchoServer echo;
  steps.say({"loopback echo server at {0}", {echo.url()}});

  std::unique_ptr<demo::LoopbackRealityServer> server;
  std::optional<VLESSRealityConfiguration> configuration;
  if (!options.link.empty()) {
    configuration.emplace(options.link);
  } else if (options.engineGiven) {
    const std::string directory = paths.root() + "/reality-server";
    if (::mkdir(directory.c_str(), 0700) != 0)
      return fail({"could not create {0}", {directory}});
    server = std::make_unique<demo::LoopbackRealityServer>(options.tools.engine, directory);
    configuration = server->endpoint();
    steps.say({"loopback REALITY server at 127.0.0.1:{0} run by {1} (keys and logs in {2})",
               {std::to_string(server->endpoint().port), options.tools.engine, directory}});
  } else {
    configuration.emplace(kSampleLink);
    steps.say(
        "engine: this build's stand-in, test support that forwards directly; it serves only the "
        "built-in sample link, whose server is never contacted (--xray PATH runs a real one)");
  }
  SidecarTools tools = options.tools;
  if (options.link.empty() && tools.probeURL == XraySidecarSupervisor::kDefaultEgressProbeURL)
    tools.probeURL = echo.url();
  auto sidecar = makeSidecarSupervisor(tools);
  sidecar->initializeManagedProfile(paths);
  steps.say(
      {"starting the proxy sidecar: guardian {0}, engine {1}", {tools.guardian, tools.engine}});
  const Uuid connectionID = Uuid::random();
  const auto handle = sidecar->start(profileID, connectionID, *configuration, paths);
  steps.say({"sidecar ready: {0}, engine pid {1}, guardian run {2}",
             {handle.localProxy().uri(), std::to_string(handle.processID),
              handle.generation.uppercaseString()}});

  const ProfileActivityJournal journal;
  journal.append({Uuid::random(), profileID, ProfileActivityKind::proxyConnectionAvailable,
                  ReferenceDate::now(), "demo", "Proxy available on " + handle.localProxy().uri()},
                 paths);
  steps.say("journaled: proxy available");

  ProcessSupervisor supervisor;
  const ProcessLaunchPlan plan{
      "/bin/sh",
      {"-c", kApplicationScript, "demo-application", "--user-data-dir=" + paths.userData(),
       "--proxy-server=" + handle.localProxy().uri()},
      {{"HOME", paths.home()}, {"ECHO_URL", echo.url()}},
      paths,
      std::nullopt};
  const auto run = supervisor.start(profileID, plan, nullptr, nullptr);
  steps.say({"application started under supervision: run {0}, pid {1}",
             {run.runID.uppercaseString(), std::to_string(run.rootPID)}});

  sidecar->attach(profileID, run);
  const auto warning = sidecar->continuityWarning(profileID);
  steps.say({"guardian attached to the application; continuity warning: {0}",
             {warning ? AppLocalization::render(*warning, outputLanguage()) : text("none")}});

  const std::string traffic = paths.home() + "/traffic.log";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (countLines(traffic) < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::ifstream answers(traffic);
  std::string first;
  std::getline(answers, first);
  steps.say({"{0} requests crossed the proxy to the echo server (it saw {1})",
             {std::to_string(countLines(traffic)), first.empty() ? text("nothing") : first}});

  if (auto health = sidecar->runtimeHealth(profileID, 0))
    steps.say({"proxy health: {0}", {describe(*health)}});
  if (server)
    steps.say({"the REALITY server accepted {0} connection(s) for the profile",
               {std::to_string(countAcceptedConnections(server->accessLogPath()))}});

  const auto stopped = supervisor.stop(profileID, paths, 10);
  steps.say({"application stopped (signal {0})",
             {std::to_string(stopped.terminationSignal.value_or(0))}});
  supervisor.confirmCompletion(profileID, run.runID, paths);
  steps.say("completion confirmed; launch lease removed");

  sidecar->stopAndWait(profileID, handle.generation, paths);
  steps.say("sidecar stopped; durable record is empty again");

  const auto contents = readProfileActivityJournal(paths, 1 << 20);
  steps.say({"journal holds {0} event(s); launch log {1}",
             {std::to_string(contents.events.size()), run.logPath}});
  return kExitSuccess;
}

const Registration kRegistration{
    {"demo", "Show the life of a proxied profile in a fresh base directory",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<DemoOptions>();
       auto* base = command.add_option("--base", options->base,
                                       text("The profile base directory, as before the command "
                                            "(created when missing; default: a fresh one "
                                            "in /tmp)"));
       auto* xray = command.add_option(
           "--xray", options->tools.engine,
           text(
               "The engine to run (default: the real one scripts/bootstrap builds with --link, "
               "this build's "
               "stand-in without); a real one without --link also runs a loopback REALITY server"));
       command.add_option(
           "--link", options->link,
           text("A vless:// link to use instead of the sample (needs a real engine and server)"));
       command.add_option("--guardian", options->tools.guardian, text("The guardian executable"))
           ->capture_default_str();
       command.add_option(
           "--probe-url", options->tools.probeURL,
           text("Egress probe URL (default: the echo server, or the public one with --link)"));
       return [options, xray, base, &global] {
         ::signal(SIGPIPE, SIG_IGN);
         // --base means the same before and after the command.
         if (base->count() == 0 && global.baseGiven)
           options->base = global.baseDirectory;
         else if (base->count() > 0 && global.baseGiven && options->base != global.baseDirectory)
           return fail("--base was given twice, naming two directories", kExitUsage);
         if (options->link == "-") {
           auto link = readLinkFromStandardInput();
           if (!link)
             throw KorvelinCoreError::invalidVLESSConfiguration();
           options->link = std::move(*link);
         }
         options->engineGiven = xray->count() > 0;
         if (!options->engineGiven && options->link.empty()) {
           options->tools.engine = standinEngine();
         } else if (options->tools.engine.empty()) {
           return fail(noRealEngineMessage());
         }
         return runDemo(*options);
       };
     }}};

}  // namespace
}  // namespace korvelin::cli
