// korvelin traffic PROFILE-UUID [--executable PATH] [--watch SECONDS [--count N]] [--json]

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "cli/RunReadoption.h"
#include "cli/Text.h"

namespace korvelin::cli {
namespace {

struct TrafficOptions {
  std::string profile;
  std::string executable;
  double watch = 0;    // seconds between observations; 0: observe once
  unsigned count = 0;  // with --watch: observations in all; 0: until interrupted
  bool json = false;
};

int traffic(const TrafficOptions& options, const GlobalOptions& global) {
  int status = kExitFailure;
  const auto readopted = readoptProxiedRun(options.profile, options.executable, global, status);
  if (!readopted)
    return status;
  // The engine is proved once; every observation checks that it, and the
  // profile's root, are still the processes proved.
  const auto& proxy = readopted->proxy;
  const auto context = trafficContext(readopted->run, proxy);
  if (!context && !options.json)
    say({"the proxy route is {0}: no engine to observe", {std::string(rawValue(proxy.status))}});

  const ProfileTrafficObserver observer;
  const unsigned total = options.watch > 0 ? options.count : 1;
  ProfileTrafficState state;
  for (unsigned done = 0; total == 0 || done < total; ++done) {
    if (done > 0)
      std::this_thread::sleep_for(std::chrono::duration<double>(options.watch));
    const double now = systemNow();
    state = context ? observer.state(*context, now) : ProfileTrafficState::unavailable();
    if (options.json) {
      nlohmann::json line = state;
      line["at"] = now;
      line["proxy"] = rawValue(proxy.status);
      std::cout << line.dump() << std::endl;
    } else {
      say({"{0}  {1}", {localDateText(now), std::string(rawValue(state.kind))}});
    }
  }
  return state.isObserved() ? kExitSuccess : kExitFailure;
}

const Registration kRegistration{
    {"traffic", "Show whether a re-adopted run's processes are seen talking to their proxy sidecar",
     [](CLI::App& command, const GlobalOptions& global) -> Runner {
       auto options = std::make_shared<TrafficOptions>();
       command.add_option("PROFILE-UUID", options->profile, text("Profile identifier"))->required();
       command.add_option(
           "--executable", options->executable,
           text("The program the profile should be running (default: the one the lease recorded)"));
       auto* watch =
           command
               .add_option("--watch", options->watch, text("Observe again every SECONDS seconds"))
               ->check(CLI::Range(0.1, 86400.0));
       command
           .add_option("--count", options->count,
                       text("With --watch: stop after N observations (default: never)"))
           ->needs(watch)
           ->check(CLI::Range(1u, 1000000u));
       command.add_flag("--json", options->json, text("Print one JSON object per observation"));
       return [options, &global] { return traffic(*options, global); };
     }}};

}  // namespace
}  // namespace korvelin::cli
