// The launcher's route decisions, its order of setting up and tearing down,
// and the traffic and health of the sidecars it starts, with Chrome bundles
// running an idle program and the real guardian serving the stand-in engine.

#include <signal.h>
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "core/activity/ProfileActivityJournal.h"
#include "core/activity/ProfileTrafficObserver.h"
#include "core/base/CoreError.h"
#include "core/files/FileSystemSecurity.h"
#include "core/launch/ProfileLauncher.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfileRepository.h"
#include "core/proxy/VLESSConnectionRepository.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/GuardianHarness.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;

constexpr const char* kLink =
    "vless://b831381d-6324-4d53-ad4f-8cda48b30811@127.0.0.1:443?type=tcp&security=reality"
    "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc&sid=6ba85179e30d4fc2&sni=www.example.com"
    "&fp=chrome&flow=xtls-rprx-vision#sample";
// The bases here are private test directories, never the default one.
constexpr const char* kNoDefault = "/nonexistent/korvelin-default-base";
const ProfileProxyConfiguration kFixed(ProfileProxyScheme::http, "10.0.0.1", 3128);

class ProfileLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ::chmod(dir_.path().c_str(), 0700);
    VLESSConnectionRepository(dir_.path(), kNoDefault).create(connection_, "Sample", kLink);
  }

  // A Chrome profile of a bundle of its own, whose executable is `executable_`.
  AppProfile catalogue(std::optional<Uuid> connection,
                       bool fallback = false,
                       std::optional<ProfileProxyConfiguration> proxy = {}) {
    ProfileRepository::Draft draft{.id = Uuid::random(),
                                   .proxy = proxy,
                                   .proxyConnectionID = connection,
                                   .allowSystemRouteFallback = fallback};
    draft.name = "Profile " + draft.id.uppercaseString().substr(0, 8);
    const auto& chrome = managedApplication(ManagedApplicationSupport::chromeAdapterIdentifier);
    const std::string bundle =
        bundles_.make(testing::BundleFixtures::layoutFor(chrome), draft.name);
    executable_ = bundle + "/Contents/MacOS/Google Chrome";
    const auto installation = makeBundleInspector(chrome.adapterIdentifier)->inspect(bundle);
    return ProfileRepository(dir_.path(), kNoDefault).create(draft, installation);
  }

  // The stand-in engine through the real guardian, or no engine at all.
  std::unique_ptr<XraySidecarSupervisor> sidecars(bool engine = true) {
    return std::make_unique<XraySidecarSupervisor>(
        [engine]() -> std::string {
          if (!engine)
            throw KorvelinCoreError::xrayUnavailable();
          return XraySidecarSupervisor::validateBinary(testing::testProgramPath("standin-xray"));
        },
        [this](std::uint16_t port, double limit) {
          return XraySidecarSupervisor::curlEgressProbe(port, echo_.url(), limit);
        },
        &XraySidecarSupervisor::lsofListenerVerifier, [] { return testing::guardianPath(); });
  }

  ProfileLauncher launcher(XraySidecarSupervisor& sidecars) {
    return ProfileLauncher(dir_.path(), kNoDefault, processes_, sidecars);
  }

  bool recorded(const AppProfile& profile) {
    return sidecars()->hasDurableSidecar(profile.id, ProfilePaths(profile.id, dir_.path()));
  }

  testing::ScopedSubreaper reaper_;
  testing::ScopedTempDir dir_;
  testing::BundleFixtures bundles_;
  std::string executable_;  // of the profile catalogued last
  demo::LoopbackEchoServer echo_;
  Uuid connection_ = Uuid::random();
  ProcessSupervisor processes_;
};

TEST_F(ProfileLauncherTest, ChoosesTheRouteAndNeverFallsBackUnlessAllowed) {
  struct Row {
    const char* name;
    std::optional<Uuid> connection;
    bool engine, fallback;
    std::optional<Case> failure;
    std::string route;  // "sidecar": the sidecar's port
  };
  const auto c = connection_;
  for (const auto& row : std::vector<Row>{
           {"connection", c, true, false, {}, "sidecar"},
           {"connection down", c, false, false, Case::xrayUnavailable, ""},
           {"connection down, system route allowed", c, false, true, {}, "system"},
           {"application refused", c, true, false, Case::installationChanged, ""},
           {"no connection", {}, false, false, {}, "system"},
           {"fixed proxy", {}, false, false, {}, kFixed.uri()},
       }) {
    SCOPED_TRACE(row.name);
    const AppProfile profile =
        catalogue(row.connection, row.fallback,
                  row.route == kFixed.uri() ? std::optional(kFixed) : std::nullopt);
    auto sidecarSupervisor = sidecars(row.engine);
    auto subject = launcher(*sidecarSupervisor);
    // The application refused: its executable changes once the proxy is ready.
    const auto change = [&](const ProfileLaunchProgress& progress) {
      if (row.failure == Case::installationChanged &&
          progress.step == ProfileLaunchStep::proxyReady)
        std::ofstream(executable_, std::ios::app) << "changed";
    };
    if (row.failure) {
      EXPECT_EQ(testing::errorCaseOf([&] { subject.launch(profile.id, change); }), row.failure);
      EXPECT_FALSE(SecureFileSystem::metadata(ProfilePaths(profile.id, dir_.path()).leaseFile()));
      EXPECT_FALSE(recorded(profile)) << "a sidecar outlived a failed launch";
      continue;
    }
    const auto launch = subject.launch(profile.id);
    const std::string route =
        row.route == "sidecar" ? launch.sidecar->localProxy().uri() : row.route;
    const auto& arguments = launch.plan.process.arguments;
    const auto proxied = std::find_if(arguments.begin(), arguments.end(), [](auto& argument) {
      return argument.rfind("--proxy-server=", 0) == 0;
    });
    EXPECT_EQ(proxied == arguments.end() ? "system" : proxied->substr(15), route);
    EXPECT_EQ(launch.systemRouteFallback, row.fallback);
    EXPECT_FALSE(launch.continuityWarning);
    // A group that ends by itself is finished like a stopped one.
    ::kill(launch.run.rootPID, SIGTERM);
    while (subject.status(launch).state != ProcessRunState::managedGroupStoppedAwaitingConfirmation)
      ::usleep(10'000);
    EXPECT_EQ(subject.finish(launch).state, ProcessRunState::stoppedConfirmed);
    EXPECT_FALSE(recorded(profile));
    if (row.fallback) {
      const auto events = readProfileActivityJournal(launch.paths(), 1 << 20).events;
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0].kind, ProfileActivityKind::proxyConnectionUnavailable);
      EXPECT_EQ(events[0].proxyName, "Sample");
    }
  }
  // A saved connection that is gone never falls back.
  const AppProfile orphan = catalogue(connection_, true);
  VLESSConnectionRepository(dir_.path(), kNoDefault).remove(connection_, {});
  auto sidecarSupervisor = sidecars();
  EXPECT_EQ(testing::errorCaseOf([&] { launcher(*sidecarSupervisor).launch(orphan.id); }),
            Case::proxyConnectionNotFound);
}

// Two profiles behind their sidecars: a process of the first talking through
// its sidecar's port is seen there, and not at the other's engine; then each
// loses its sidecar, which stops it unless it allows the system route.
TEST_F(ProfileLauncherTest, TrafficIsSeenAtItsSidecarWhoseLossStopsTheProfileUnlessAllowed) {
  auto sidecarSupervisor = sidecars();
  auto subject = launcher(*sidecarSupervisor);
  std::vector<ProfileLaunch> launches;
  for (const bool allowed : {false, true})
    launches.push_back(subject.launch(catalogue(connection_, allowed).id));

  // The profile's root: a shell leading its own group, whose inner shell
  // waits for curl, so curl is the root's grandchild; the rate limit keeps
  // its connection open while the observer looks.
  const XraySidecarHandle &ours = *launches[0].sidecar, &other = *launches[1].sidecar;
  testing::Subprocess root({"/bin/sh", "-c",
                            "sh -c \"/usr/bin/curl --silent --limit-rate 4k --output /dev/null "
                            "--socks5-hostname 127.0.0.1:" +
                                std::to_string(ours.loopbackPort) + " " +
                                echo_.url("/bytes/100000000") + "; true\" & wait"},
                           {.newProcessGroup = true});
  auto identity = testing::identityOnceRunning(root.pid(), "/usr/bin/dash");
  if (!identity)
    identity = testing::identityOnceRunning(root.pid(), "/bin/sh");
  ASSERT_TRUE(identity);
  const auto context = [&](const XraySidecarHandle& engine) {
    return ProfileTrafficObservationContext{Uuid::random(), *identity, *engine.processIdentity,
                                            ours.localProxy(), engine.generation};
  };
  const ProfileTrafficObserver observer;
  EXPECT_TRUE(
      testing::eventually([&] { return observer.observe(context(ours)) == std::optional(true); },
                          std::chrono::seconds(10)));
  EXPECT_EQ(observer.observe(context(other)), std::optional(false));
  ::kill(-root.pid(), SIGKILL);

  for (auto& launch : launches) {
    const bool allowed = launch.profile.allowSystemRouteFallback;
    SCOPED_TRACE(allowed ? "system route allowed" : "system route refused");
    const auto verdict =
        allowed ? ProxyVerdict::unavailableKeptOpen : ProxyVerdict::unavailableMustStop;
    EXPECT_EQ(subject.checkProxy(launch, 0), ProxyVerdict::available);
    ::kill(launch.sidecar->processID, SIGKILL);
    EXPECT_EQ(subject.checkProxy(launch, 0), verdict);
    EXPECT_EQ(subject.checkProxy(launch, 0), verdict);
    const auto events = readProfileActivityJournal(launch.paths(), 1 << 20).events;
    ASSERT_EQ(events.size(), 2u) << "one event per change of health";
    EXPECT_EQ(events[1].kind, allowed ? ProfileActivityKind::proxyUnavailableWhileRunning
                                      : ProfileActivityKind::proxyDisconnected);
    subject.stop(launch, 10);
  }
}

}  // namespace
}  // namespace korvelin
