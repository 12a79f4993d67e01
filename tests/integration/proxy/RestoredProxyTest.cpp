// A host crashes while its profile's application runs attached to a guarded
// sidecar of the real guardian and the real engine; the restarted host must
// prove, from the outside and without changing anything, whether that
// application's route still runs through its own sidecar.

#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/activity/ProfileRuntimeObserver.h"
#include "core/process/ProcessSupervisor.h"
#include "core/proxy/XraySidecarSupervisor.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/XrayPeers.h"

namespace korvelin::testing {
namespace {

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
  RestoredProxyObservation observe(const Uuid& connection) {
    const auto run = ProfileRuntimeObserver().observeWithRoute(
        paths_, std::filesystem::canonical(testProgramPath("idle-app")).string());
    const XraySidecarSupervisor restarted(nullptr, nullptr,
                                          &XraySidecarSupervisor::lsofListenerVerifier, nullptr);
    return restarted.observeRestoredProxyRoute(paths_, connection, run.snapshot, run.rootIdentity);
  }

  void rewrite(const std::function<void(XrayDurableState&)>& change) {
    XrayDurableStateStore().withLockedState(paths_, false,
                                            [&](const XrayDurableState& current, auto& writer) {
                                              XrayDurableState next = current;
                                              change(next);
                                              writer.write(next);
                                            });
  }

  Uuid id_ = Uuid::random();
  ProfilePaths paths_{id_, temp_.path()};
  pid_t app_ = -1, engine_ = -1;
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

  struct Row {
    const char* name;
    std::function<void(XrayDurableState&)> change;
    Status expected;
  };
  const std::vector<Row> rows = {
      {"the record rewritten for another connection",
       [](auto& r) { r.connectionID = Uuid::random(); }, Status::unavailable},
      {"an emptied record", [](auto& r) { r = XrayDurableState::emptyRecord(r.profileID); },
       Status::unavailable},
      {"a protocol this core does not know", [](auto& r) { r.protocolVersion = 3; },
       Status::unverified},
      {"a port the engine does not listen on",
       [](auto& r) { r.loopbackPort = static_cast<std::uint16_t>(*r.loopbackPort + 1); },
       Status::unverified},
      {"an older sidecar, and no verified root here", [](auto& r) { r.protocolVersion.reset(); },
       Status::unverified},
  };
  for (const auto& row : rows) {
    rewrite(row.change);
    const XraySidecarSupervisor restarted(nullptr, nullptr,
                                          &XraySidecarSupervisor::lsofListenerVerifier, nullptr);
    const auto run = ProfileRuntimeObserver().observeWithRoute(
        paths_, std::filesystem::canonical(testProgramPath("idle-app")).string());
    EXPECT_EQ(restarted.observeRestoredProxy(paths_, connection, run.snapshot), row.expected)
        << row.name;
    rewrite([&](auto& r) { r = record; });
  }
  EXPECT_EQ(observe(connection).status, Status::available);

  ::kill(guardian, SIGKILL);
  ASSERT_TRUE(eventually([&] { return processHasExited(guardian); }));
  EXPECT_EQ(observe(connection).status, Status::unavailable);
}

}  // namespace
}  // namespace korvelin::testing
