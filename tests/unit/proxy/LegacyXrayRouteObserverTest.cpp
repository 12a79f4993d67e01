#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "core/base/CoreError.h"
#include "core/guardian/GuardianClient.h"
#include "core/process/ProcessSupervisor.h"
#include "core/proxy/LegacyXrayRouteObserver.h"

namespace korvelin {
namespace {

constexpr std::int32_t kRoot = 300, kGuardian = 100, kXray = 200;
constexpr std::uint16_t kPort = 41000;
const std::string kResources = "/opt/Korvelin.app/Contents/Resources";

LiveProcessIdentity process(std::int32_t pid, std::string executable, std::uint64_t start) {
  return {pid, pid == kRoot ? kRoot : 1, 501, start, 0, std::move(executable), "boot"};
}

// A value of `map` at `pid`, absent where there is none.
template <typename Value>
std::optional<Value> at(const std::map<std::int32_t, Value>& map, std::int32_t pid) {
  const auto found = map.find(pid);
  return found == map.end() ? std::nullopt : std::optional(found->second);
}

// An older sidecar as it should be found: the guardian, its one engine child
// and the application's root, started in that order.
struct World {
  Uuid generation = Uuid::random();
  ProfilePaths paths{Uuid::random(), "/base"};
  std::map<std::int32_t, LiveProcessIdentity> identities{
      {kGuardian, process(kGuardian, kResources + "/korvelin-xray-guardian", 10)},
      {kXray, process(kXray, kResources + "/xray", 11)},
      {kRoot, process(kRoot, "/opt/App/app", 12)}};
  std::map<std::int32_t, std::vector<std::string>> arguments{
      {kGuardian,
       {kResources + "/korvelin-xray-guardian", "--xray", kResources + "/xray", "--socket",
        guardianSocketPath(generation)}},
      {kXray, {kResources + "/xray", "run", "-config", "stdin:"}},
      {kRoot,
       {"/opt/App/app", "--user-data-dir=" + paths.userData(),
        "--proxy-server=socks5://127.0.0.1:41000"}}};
  std::map<std::int32_t, std::vector<std::int32_t>> children{{kGuardian, {kXray}}};
  XrayDurableState record;
  bool listening = true;

  World() {
    record.status = XrayDurableState::Status::active;
    record.profileID = paths.profileID();
    record.connectionID = Uuid::random();
    record.generation = generation;
    record.guardianPID = kGuardian;
    record.loopbackPort = kPort;
    record.socketPath = guardianSocketPath(generation);
  }
  LiveProcessIdentity& id(std::int32_t pid) { return identities.at(pid); }
  std::vector<std::string>& args(std::int32_t pid) { return arguments.at(pid); }

  // The observation's status, as the supervisor reports a failed one.
  RestoredProxyStatus observe() {
    LegacyXrayRouteObserver observer;
    observer.identity = [this](std::int32_t pid) { return at(identities, pid); };
    observer.arguments = [this](std::int32_t pid) { return at(arguments, pid); };
    observer.children = [this](std::int32_t pid) { return std::optional(children[pid]); };
    observer.verifyBinaries = [](const auto&, const auto&) { return true; };
    observer.readState = [written = record](const ProfilePaths&) { return written; };
    observer.verifyListener = [this](std::int32_t pid, std::uint16_t port) {
      return listening && pid == kXray && port == kPort;
    };
    ProcessSnapshot run;
    run.profileID = paths.profileID();
    run.rootPID = kRoot;
    run.processGroupID = kRoot;
    try {
      const auto found = observer.observe(record, paths, run, id(kRoot));
      EXPECT_EQ(found.xrayIdentity, id(kXray));
      return found.status;
    } catch (const KorvelinCoreError&) {
      return RestoredProxyStatus::unverified;
    }
  }
};

TEST(LegacyXrayRouteObserverTest, EveryCheckMustHold) {
  const auto available = RestoredProxyStatus::available;
  struct Row {
    const char* name;
    std::function<void(World&)> change;
    RestoredProxyStatus expected = RestoredProxyStatus::unverified;
  };
  const std::vector<Row> rows = {
      {"the sidecar as it should be", [](World&) {}, available},
      {"equal start times",
       [](World& w) { w.id(kXray).startSeconds = w.id(kRoot).startSeconds = 10; }, available},
      {"a guardian with two children", [](World& w) { w.children[kGuardian].push_back(201); }},
      {"an engine started before its guardian", [](World& w) { w.id(kXray).startSeconds = 9; }},
      {"a root started before the engine", [](World& w) { w.id(kRoot).startSeconds = 10; }},
      {"a bypass list beside the proxy",
       [](World& w) { w.args(kRoot).push_back("--proxy-bypass-list=localhost"); }},
      {"a second data directory", [](World& w) { w.args(kRoot).push_back(w.args(kRoot)[1]); }},
      {"the proxy on another port",
       [](World& w) { w.args(kRoot).back() = "--proxy-server=socks5://127.0.0.1:41001"; }},
      {"a guardian outside a bundle's resources",
       [](World& w) { w.id(kGuardian).executable = "/opt/korvelin-xray-guardian"; }},
      {"an engine run from elsewhere", [](World& w) { w.args(kXray)[0] = "/usr/bin/xray"; }},
      {"an engine reading its configuration from a file",
       [](World& w) { w.args(kXray)[3] = "/tmp/c.json"; }},
      {"a socket of another generation",
       [](World& w) { w.record.socketPath = guardianSocketPath(Uuid::random()); }},
      {"a guardian of another user", [](World& w) { w.id(kGuardian).uid = 0; }},
      {"a root that does not lead its group", [](World& w) { w.id(kRoot).group = 1; }},
      {"a record of the current protocol", [](World& w) { w.record.protocolVersion = 2; }},
      {"nobody listening", [](World& w) { w.listening = false; }},
  };
  for (const auto& [name, change, expected] : rows) {
    World world;
    change(world);
    EXPECT_EQ(world.observe(), expected) << name;
  }
}

}  // namespace
}  // namespace korvelin
