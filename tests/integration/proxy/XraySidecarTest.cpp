#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/process/ProcessSupervisor.h"
#include "core/proxy/VLESSConnection.h"
#include "core/proxy/XraySidecarSupervisor.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using testing::errorCaseOf;
using testing::exists;

using Case = KorvelinCoreError::Case;
using testing::eventually;

constexpr const char* kLink =
    "vless://b831381d-6324-4d53-ad4f-8cda48b30811@127.0.0.1:443?type=tcp&security=reality"
    "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc&sid=6ba85179e30d4fc2&sni=www.example.com"
    "&fp=chrome&flow=xtls-rprx-vision#sample";

bool alive(std::int32_t pid) {
  return !processHasExited(pid);
}

class XraySidecarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ::chmod(dir_.path().c_str(), 0700);
    ProfilePreparer(dir_.path()).prepare(paths_);
  }

  // A supervisor whose engine is the stand-in and whose probe asks the
  // loopback echo server; every part can be replaced.
  std::unique_ptr<XraySidecarSupervisor> supervisor(
      XraySidecarSupervisor::BinaryResolver binary = nullptr,
      XraySidecarSupervisor::EgressProbe probe = nullptr,
      double preflight = 12.0,
      std::string guardian = testing::guardianPath()) {
    if (!binary)
      binary = [] {
        return XraySidecarSupervisor::validateBinary(testing::testProgramPath("standin-xray"));
      };
    if (!probe)
      probe = [this](std::uint16_t port, double limit) {
        ++probes_;
        return XraySidecarSupervisor::curlEgressProbe(port, echo_.url(), limit);
      };
    auto s = std::make_unique<XraySidecarSupervisor>(
        binary, probe, &XraySidecarSupervisor::lsofListenerVerifier,
        [guardian] { return guardian; }, nullptr, preflight);
    s->initializeManagedProfile(paths_);
    return s;
  }

  XrayDurableState record() { return XrayDurableStateStore().readOnly(paths_); }

  testing::ScopedTempDir dir_;
  Uuid id_ = Uuid::random();
  Uuid connection_ = Uuid::random();
  ProfilePaths paths_{id_, dir_.path()};
  VLESSRealityConfiguration configuration_{kLink};
  demo::LoopbackEchoServer echo_;
  std::atomic<int> probes_{0};
};

TEST_F(XraySidecarTest, HealthIsProbedAtMostOncePerInterval) {
  auto sidecar = supervisor();
  const auto handle = sidecar->start(id_, connection_, configuration_, paths_);
  const int afterStart = probes_;
  auto first = sidecar->runtimeHealth(id_, 0);
  ASSERT_TRUE(first && first->isAvailable());
  EXPECT_EQ(probes_, afterStart + 1);
  auto second = sidecar->runtimeHealth(id_, 3600);
  EXPECT_EQ(second, first);
  EXPECT_EQ(probes_, afterStart + 1);
  EXPECT_EQ(sidecar->assertHealthy(id_, 3600), first->externalIP);

  ::kill(handle.processID, SIGKILL);  // the engine dies under the guardian
  EXPECT_TRUE(eventually([&] { return sidecar->runtimeHealth(id_, 3600)->isRecoveryRequired(); }));
  EXPECT_EQ(errorCaseOf([&] { sidecar->assertHealthy(id_, 0); }), Case::proxyDisconnected);
  sidecar->stop(id_, std::nullopt);
}

TEST_F(XraySidecarTest, FailedStartsStopTheGuardianAndClearTheRecord) {
  const auto answering = [](std::string text) {
    return [text](std::uint16_t, double) { return text; };
  };
  // A guardian whose ready line is not what the engine's pid should be.
  const auto saying = [&](const std::string& name, const std::string& line) {
    testing::makeFile(dir_.child(name), 0700,
                      "#!/bin/sh\necho '" + line + "'\nexec /bin/cat >/dev/null\n");
    return dir_.child(name);
  };
  const std::string standin = testing::testProgramPath("standin-xray");
  const std::string silent = testing::testProgramPath("engine-probe");
  const std::vector<
      std::tuple<const char*, std::string, XraySidecarSupervisor::EgressProbe, std::string>>
      rows = {
          {"ready line names pid 1", standin, nullptr, saying("ready-1", "READY 1")},
          {"ready line is not a number", standin, nullptr, saying("ready-text", "READY engine")},
          {"engine never listens", silent, nullptr, testing::guardianPath()},
          {"probe answers a host name", standin, answering("example.com"), testing::guardianPath()},
          {"probe answers a page", standin, answering("<html>hi</html>"), testing::guardianPath()},
      };
  for (const auto& [name, engine, probe, guardian] : rows) {
    SCOPED_TRACE(name);
    auto sidecar = supervisor([engine] { return engine; }, probe, 1.5, guardian);
    EXPECT_EQ(errorCaseOf([&] { sidecar->start(id_, connection_, configuration_, paths_); }),
              Case::proxyPreflightFailed);
    EXPECT_EQ(record().status, XrayDurableState::Status::empty);
    EXPECT_FALSE(sidecar->handle(id_));
  }
}

// Starts a sidecar (and, attached, an application) in another process, then
// kills that host the way a crash would.
nlohmann::json crashHost(const testing::ScopedTempDir& dir,
                         const Uuid& id,
                         const std::string& echo,
                         bool attach) {
  testing::Subprocess host({testing::testProgramPath("sidecar-host"), dir.path(),
                            id.uppercaseString(), testing::testProgramPath("standin-xray"),
                            testing::guardianPath(), testing::testProgramPath("idle-app"), echo,
                            attach ? "attach" : "plain"});
  if (!host.waitForOutput("\n", std::chrono::seconds(20)))
    return nullptr;
  auto line = nlohmann::json::parse(host.output());
  host.signal(SIGKILL);
  host.wait();
  return line;
}

bool carries(std::uint16_t port, const std::string& url) {
  return testing::run({"/usr/bin/curl", "--silent", "--max-time", "5", "--socks5-hostname",
                       "127.0.0.1:" + std::to_string(port), url})
             .exitCode == 0;
}

// After a host crash: an unattached sidecar ends with its host, an attached
// one keeps serving the application until the application ends, or until
// recovery stops it; the record outlives them all until recovery clears it.
TEST_F(XraySidecarTest, AfterTheHostCrashedTheSidecarLivesAsLongAsItsApplication) {
  enum class End { withHost, withApplication, byRecovery };
  for (const End end : {End::withHost, End::withApplication, End::byRecovery}) {
    SCOPED_TRACE(static_cast<int>(end));
    const bool attached = end != End::withHost;
    id_ = Uuid::random();  // a profile of its own: a killed application leaves its launch lease
    paths_ = ProfilePaths(id_, dir_.path());
    const auto host = crashHost(dir_, id_, echo_.url(), attached);
    ASSERT_FALSE(host.is_null());
    const std::int32_t engine = host["engine"];
    const auto guardian = record().guardianPID;
    ASSERT_TRUE(guardian);
    const auto ended = [&] { return !alive(engine) && !alive(*guardian); };
    if (attached) {
      ::usleep(300'000);
      EXPECT_TRUE(alive(engine) && alive(*guardian));
      EXPECT_TRUE(carries(host["port"], echo_.url())) << "the engine keeps serving the application";
    }
    if (end == End::withApplication)
      ::kill(-host["app"].get<int>(), SIGKILL);
    if (end != End::byRecovery) {
      EXPECT_TRUE(eventually(ended));
    }
    auto restarted = supervisor();
    EXPECT_TRUE(restarted->hasDurableSidecar(id_, paths_)) << "the record outlived its host";
    restarted->recover(id_, paths_);
    EXPECT_FALSE(restarted->hasDurableSidecar(id_, paths_));
    EXPECT_TRUE(eventually(ended));
    if (attached)
      ::kill(-host["app"].get<int>(), SIGKILL);
  }
}

// The application's end also ends an attached guardian, often before the
// host gets round to stopping the sidecar: that stop finds no one to answer
// and must still leave the record empty.
TEST_F(XraySidecarTest, StopAfterTheAttachedApplicationEndedClearsTheRecord) {
  auto sidecar = supervisor();
  const auto handle = sidecar->start(id_, connection_, configuration_, paths_);
  const auto guardian = record().guardianPID;
  ASSERT_TRUE(guardian);
  ProcessSupervisor applications;
  const auto run = applications.start(
      id_,
      {"/bin/sh",
       {"-c", "while :; do sleep 1; done", "application", "--user-data-dir=" + paths_.userData()},
       {},
       paths_,
       std::nullopt},
      nullptr, nullptr);
  sidecar->attach(id_, run);
  applications.stop(id_, paths_, 10);
  ASSERT_TRUE(eventually([&] { return !alive(*guardian) && !alive(handle.processID); }));

  sidecar->stopAndWait(id_, handle.generation, paths_);
  EXPECT_EQ(record().status, XrayDurableState::Status::empty);
}

// A guardian killed outright answers no STOP and leaves its engine behind:
// the stop ends that engine, and the record stays for recovery to clear.
TEST_F(XraySidecarTest, StopAfterTheGuardianWasKilledEndsTheEngineAndKeepsTheRecord) {
  auto sidecar = supervisor();
  const auto handle = sidecar->start(id_, connection_, configuration_, paths_);
  const auto guardian = record().guardianPID;
  ASSERT_TRUE(guardian);
  EXPECT_EQ(::getsid(*guardian), *guardian) << "out of reach of the host's terminal";
  ::kill(*guardian, SIGKILL);
  EXPECT_EQ(errorCaseOf([&] { sidecar->stopAndWait(id_, handle.generation, paths_); }),
            Case::profileRecoveryRequired);
  EXPECT_EQ(record().status, XrayDurableState::Status::active);
  EXPECT_TRUE(eventually([&] { return !alive(handle.processID); }));
  sidecar->recover(id_, paths_);
  EXPECT_FALSE(sidecar->hasDurableSidecar(id_, paths_));
}

TEST_F(XraySidecarTest, DirectModeKeepsNoRecordAndWarnsOfNothing) {
  auto direct = std::make_unique<XraySidecarSupervisor>(
      [] { return testing::testProgramPath("standin-xray"); },
      [this](std::uint16_t port, double limit) {
        return XraySidecarSupervisor::curlEgressProbe(port, echo_.url(), limit);
      },
      &XraySidecarSupervisor::lsofListenerVerifier, nullptr);
  const auto handle = direct->start(id_, connection_, configuration_);
  EXPECT_FALSE(direct->continuityWarning(id_));
  EXPECT_TRUE(alive(handle.processID));
  direct->stop(id_, std::nullopt);
  EXPECT_FALSE(alive(handle.processID));
  EXPECT_FALSE(exists(paths_.root() + "/.xray-state"));
}

TEST_F(XraySidecarTest, BinaryChecksAndPathsOfAnotherProfile) {
  testing::makeFile(dir_.child("engine"), 0777);
  testing::makeSymlink("/bin/true", dir_.child("link"));
  for (const std::string& path :
       {dir_.child("engine"), dir_.child("link"), dir_.child("missing"), dir_.path()})
    EXPECT_EQ(errorCaseOf([&] { XraySidecarSupervisor::validateBinary(path); }),
              Case::xrayUnavailable)
        << path;
  auto sidecar = supervisor();
  EXPECT_EQ(
      errorCaseOf([&] { sidecar->start(Uuid::random(), connection_, configuration_, paths_); }),
      Case::profileIdentifierMismatch);
  EXPECT_TRUE(sidecar->hasDurableSidecar(Uuid::random(), paths_));
}

}  // namespace
}  // namespace korvelin
