// A host crashes while its profile's application runs attached to a guarded
// sidecar of the real guardian and the real engine; the restarted host must
// prove, from the outside and without changing anything, whether that
// application's route still runs through its own sidecar. A sidecar recorded
// by an earlier core (no protocol version) has a guardian that cannot be
// asked: its route is proved from the processes alone.

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/activity/ProfileRuntimeObserver.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/process/ProcessSupervisor.h"
#include "core/proxy/XraySidecarSupervisor.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/GuardianHarness.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/XrayPeers.h"

namespace korvelin::testing {
namespace {

namespace fs = std::filesystem;
using Status = RestoredProxyStatus;

class RestoredProxyTest : public RealXrayTest {
 protected:
  void TearDown() override {
    if (app_ > 0)
      ::kill(-app_, SIGKILL);
    if (engine_ > 0)
      ::kill(engine_, SIGKILL);
  }

  // Starts the sidecar and the attached application from a host process,
  // then kills that host as a crash would.
  nlohmann::json crashHost(const std::string& link) {
    Subprocess host({testProgramPath("sidecar-host"), temp_.path(), id_.uppercaseString(), xray_,
                     guardianPath(), testProgramPath("idle-app"), echo_.url(), "attach", link});
    if (!host.waitForOutput("\n", std::chrono::seconds(30)))
      return nullptr;
    auto line = nlohmann::json::parse(host.output());
    host.signal(SIGKILL);
    host.wait();
    app_ = line["app"];
    engine_ = line["engine"];
    return line;
  }

  // What a restarted host sees: the run re-adopted from its lease, observed
  // by a supervisor that never started anything.
  ProfileRuntimeObservation run() const {
    return ProfileRuntimeObserver().observeWithRoute(
        paths_, fs::canonical(testProgramPath("idle-app")).string());
  }
  RestoredProxyObservation observe(const Uuid& connection) const {
    const auto found = run();
    return restarted_.observeRestoredProxyRoute(paths_, connection, found.snapshot,
                                                found.rootIdentity);
  }

  void rewrite(const std::function<void(XrayDurableState&)>& change) {
    XrayDurableStateStore().withLockedState(paths_, true,
                                            [&](const XrayDurableState& current, auto& writer) {
                                              XrayDurableState next = current;
                                              change(next);
                                              writer.write(next);
                                            });
  }

  Uuid id_ = Uuid::random();
  ProfilePaths paths_{id_, temp_.path()};
  pid_t app_ = -1, engine_ = -1;
  const XraySidecarSupervisor restarted_{nullptr, nullptr,
                                         &XraySidecarSupervisor::lsofListenerVerifier, nullptr};
};

TEST_F(RestoredProxyTest, AnswersForTheGuardianAsItIsFound) {
  XrayServer server(xray_, directory("server"), VlessShape::realityTCP);
  const auto host = crashHost(server.link());
  ASSERT_FALSE(host.is_null()) << server.output();
  const Uuid connection = host["connection"];
  const std::uint16_t port = host["port"];
  const auto record = XrayDurableStateStore().readOnly(paths_);
  ASSERT_TRUE(record.guardianPID && record.generation);
  const pid_t guardian = *record.guardianPID;

  const auto available = observe(connection);
  EXPECT_EQ(available.status, Status::available);
  EXPECT_EQ(available.usageRoute,
            ProfileUsageRoute::proxy({ProfileProxyScheme::socks5, "127.0.0.1", port},
                                     *record.generation));
  ASSERT_TRUE(available.xrayIdentity);
  EXPECT_EQ(available.xrayIdentity->pid, engine_);
  EXPECT_FALSE(available.legacyIdentity);
  EXPECT_EQ(observe(Uuid::random()), (RestoredProxyObservation{Status::unavailable, {}, {}, {}}))
      << "another connection";

  // A stopped guardian still takes connections into its socket's backlog,
  // but answers nothing: the request runs out of time.
  ::kill(guardian, SIGSTOP);
  EXPECT_EQ(observe(connection).status, Status::unverified);
  ::kill(guardian, SIGCONT);
  EXPECT_EQ(observe(connection).status, Status::available);

  const std::vector<std::tuple<const char*, std::function<void(XrayDurableState&)>, Status>> rows =
      {
          {"the record rewritten for another connection",
           [](auto& r) { r.connectionID = Uuid::random(); }, Status::unavailable},
          {"an emptied record", [](auto& r) { r = XrayDurableState::emptyRecord(r.profileID); },
           Status::unavailable},
          {"a protocol this core does not know", [](auto& r) { r.protocolVersion = 3; },
           Status::unverified},
          {"a port the engine does not listen on", [](auto& r) { ++*r.loopbackPort; },
           Status::unverified},
          {"an older sidecar, and no verified root here",
           [](auto& r) { r.protocolVersion.reset(); }, Status::unverified},
      };
  for (const auto& [name, change, expected] : rows) {
    rewrite(change);
    EXPECT_EQ(restarted_.observeRestoredProxy(paths_, connection, run().snapshot), expected)
        << name;
    rewrite([&](auto& r) { r = record; });
  }
  EXPECT_EQ(observe(connection).status, Status::available);

  ::kill(guardian, SIGKILL);
  ASSERT_TRUE(eventually([&] { return processHasExited(guardian); }));
  EXPECT_EQ(observe(connection).status, Status::unavailable);
}

// The guardian and the real engine run from an application bundle laid out as
// installed, in a private directory in the home directory (unlike /tmp,
// nothing above it is writable by others), serving an application started
// under supervision.
TEST_F(RestoredProxyTest, AnOlderSidecarIsProvedFromTheOutside) {
  ScopedTempDir installed(std::string(std::getenv("HOME")) + "/.cache");
  const fs::path base = installed.path();
  const fs::path resources = base / "Korvelin.app" / "Contents" / "Resources";
  fs::create_directories(resources);
  for (fs::path at = resources; at != base; at = at.parent_path())
    ::chmod(at.c_str(), 0755);
  fs::copy_file(guardianPath(), resources / "korvelin-xray-guardian");
  fs::copy_file(xray_, resources / "xray");
  const std::string bundle = fs::canonical(resources).string();
  const Uuid connection = Uuid::random(), generation = Uuid::random();
  ProfilePreparer(temp_.path()).prepare(paths_);

  const std::uint16_t port = unusedLoopbackPort();
  const std::string socketPath = guardianSocketPath(generation), capability = randomCapability();
  Subprocess guardian(
      {bundle + "/korvelin-xray-guardian", "--xray", bundle + "/xray", "--socket", socketPath},
      {.keepStdinOpen = true});
  guardian.writeStdin(Activation{capability, engineConfiguration(port), generation}.encode() +
                      "\n");
  ASSERT_TRUE(guardian.waitForOutput("\n", std::chrono::seconds(10))) << guardian.errors();
  ASSERT_TRUE(eventually([&] {
    return XraySidecarSupervisor::lsofListenerVerifier(
        *parseReadyLine(guardian.output().substr(0, guardian.output().find('\n'))), port);
  }));

  XrayDurableState record;
  record.status = XrayDurableState::Status::active;
  record.profileID = id_;
  record.connectionID = connection;
  record.generation = generation;
  record.guardianPID = guardian.pid();
  record.loopbackPort = port;
  record.socketPath = socketPath;
  record.capability = capability;
  rewrite([&](auto& r) { r = record; });

  ProcessSupervisor applications;
  applications.start(id_,
                     {testProgramPath("idle-app"),
                      {"--user-data-dir=" + paths_.userData(),
                       "--proxy-server=socks5://127.0.0.1:" + std::to_string(port)},
                      {},
                      paths_,
                      std::nullopt},
                     nullptr, nullptr);
  const auto observed = observe(connection);
  EXPECT_EQ(observed.status, Status::available);
  EXPECT_EQ(observed.usageRoute,
            ProfileUsageRoute::proxy({ProfileProxyScheme::socks5, "127.0.0.1", port}, generation));
  ASSERT_TRUE(observed.legacyIdentity);
  EXPECT_EQ(observed.legacyIdentity->guardian.pid, guardian.pid());
  EXPECT_EQ(observed.legacyIdentity->child.executable, bundle + "/xray");
  EXPECT_EQ(observed.xrayIdentity, observed.legacyIdentity->child);

  // Executables a group may replace are not the installed ones.
  ::chmod(bundle.c_str(), 0775);
  EXPECT_EQ(observe(connection).status, Status::unverified);
  ::chmod(bundle.c_str(), 0755);

  applications.stop(id_, paths_, 10);
  guardian.closeStdin();
}

}  // namespace
}  // namespace korvelin::testing
