// The launcher's route decisions and its order of setting up and tearing
// down, with a stand-in application and the real guardian serving the
// stand-in engine.

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/activity/ProfileActivityJournal.h"
#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/launch/ProfileLauncher.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfileRepository.h"
#include "core/proxy/VLESSConnectionRepository.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/CatalogFixtures.h"
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

// Chrome's row with an idle program for the application: records the route
// it was planned with, and can fail its launch.
class StandInAdapter : public LaunchAdapter {
 public:
  explicit StandInAdapter(bool failLaunch, std::optional<std::string>* plannedRoute)
      : failLaunch_(failLaunch), plannedRoute_(plannedRoute) {}
  const ManagedApplication& application() const override {
    return managedApplication(ManagedApplicationSupport::chromeAdapterIdentifier);
  }
  CodexInstallation inspect(const std::string&) const override {
    return testing::chromeInstallation();
  }
  CodexLaunchPlan makeLaunchPlan(const LaunchPlanInput& input) const override {
    *plannedRoute_ = input.proxy ? std::optional(input.proxy->uri()) : std::nullopt;
    std::vector<std::string> arguments{"--user-data-dir=" + input.paths.userData()};
    if (input.proxy)
      arguments.push_back("--proxy-server=" + input.proxy->uri());
    return {input.installation,
            {testing::testProgramPath("idle-app"), arguments, {}, input.paths, std::nullopt}};
  }
  ProcessSnapshot launch(const CodexLaunchPlan& plan,
                         ProcessSupervisor& supervisor) const override {
    if (failLaunch_)
      throw KorvelinCoreError::installationChanged();
    return supervisor.start(plan.process.paths.profileID(), plan.process, nullptr, nullptr);
  }

 private:
  bool failLaunch_;
  std::optional<std::string>* plannedRoute_;
};

class ProfileLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ::chmod(dir_.path().c_str(), 0700);
    VLESSConnectionRepository(dir_.path(), kNoDefault).create(connection_, "Sample", kLink);
  }

  AppProfile catalogue(ProfileRepository::Draft draft) {
    draft.id = Uuid::random();
    draft.name = "Profile " + draft.id.uppercaseString().substr(0, 8);
    return ProfileRepository(dir_.path(), kNoDefault).create(draft, testing::chromeInstallation());
  }

  std::unique_ptr<XraySidecarSupervisor> sidecars(bool engineAvailable = true) {
    return std::make_unique<XraySidecarSupervisor>(
        [engineAvailable]() -> std::string {
          if (!engineAvailable)
            throw KorvelinCoreError::xrayUnavailable();
          return XraySidecarSupervisor::validateBinary(testing::testProgramPath("standin-xray"));
        },
        [this](std::uint16_t port, double limit) {
          return XraySidecarSupervisor::curlEgressProbe(port, echo_.url(), limit);
        },
        &XraySidecarSupervisor::lsofListenerVerifier, [] { return testing::guardianPath(); });
  }

  ProfileLauncher launcher(XraySidecarSupervisor& sidecars, bool failLaunch = false) {
    return ProfileLauncher(dir_.path(), kNoDefault, processes_, sidecars,
                           [=, this](std::string_view) {
                             return std::make_unique<StandInAdapter>(failLaunch, &plannedRoute_);
                           });
  }

  bool sidecarRecorded(const AppProfile& profile) {
    return sidecars()->hasDurableSidecar(profile.id, ProfilePaths(profile.id, dir_.path()));
  }

  testing::ScopedSubreaper reaper_;
  testing::ScopedTempDir dir_;
  demo::LoopbackEchoServer echo_;
  Uuid connection_ = Uuid::random();
  ProcessSupervisor processes_;
  std::optional<std::string> plannedRoute_;
};

TEST_F(ProfileLauncherTest, ChoosesTheRouteAndNeverFallsBackUnlessAllowed) {
  const auto fixed = ProfileProxyConfiguration(ProfileProxyScheme::http, "10.0.0.1", 3128);
  struct Row {
    const char* name;
    ProfileRepository::Draft draft;
    bool engineAvailable;
    std::optional<Case> failure;
    std::optional<std::string> route;  // "sidecar": the sidecar's port
    bool fallback;
  };
  for (const auto& row : std::vector<Row>{
           {"connection", {.proxyConnectionID = connection_}, true, {}, "sidecar", false},
           {"connection down",
            {.proxyConnectionID = connection_},
            false,
            Case::xrayUnavailable,
            {},
            false},
           {"connection down, fallback allowed",
            {.proxyConnectionID = connection_, .allowSystemRouteFallback = true},
            false,
            {},
            {},
            true},
           {"fixed proxy", {.proxy = fixed}, false, {}, fixed.uri(), false},
           {"system route", {}, false, {}, {}, false},
       }) {
    SCOPED_TRACE(row.name);
    plannedRoute_.reset();
    const AppProfile profile = catalogue(row.draft);
    auto sidecarSupervisor = sidecars(row.engineAvailable);
    auto subject = launcher(*sidecarSupervisor);
    if (row.failure) {
      EXPECT_EQ(testing::errorCaseOf([&] { subject.launch(profile.id); }), row.failure);
      EXPECT_FALSE(plannedRoute_) << "planned although the proxy was not proven";
      EXPECT_FALSE(SecureFileSystem::metadata(ProfilePaths(profile.id, dir_.path()).leaseFile()));
      continue;
    }
    const auto launch = subject.launch(profile.id);
    const std::string expected = row.route == "sidecar" && launch.sidecar
                                     ? launch.sidecar->localProxy().uri()
                                     : row.route.value_or("");
    EXPECT_EQ(plannedRoute_.value_or(""), expected);
    EXPECT_EQ(launch.route ? launch.route->uri() : "", expected);
    EXPECT_EQ(launch.systemRouteFallback, row.fallback);
    EXPECT_EQ(launch.sidecar.has_value(), row.route == "sidecar");
    EXPECT_FALSE(launch.continuityWarning);
    const auto ended = subject.stop(launch, 10);
    EXPECT_EQ(ended.state, ProcessRunState::stoppedConfirmed);
    EXPECT_FALSE(sidecarRecorded(profile));
    if (row.fallback) {
      const auto journal = readProfileActivityJournal(launch.paths(), 1 << 20);
      ASSERT_EQ(journal.events.size(), 1u);
      EXPECT_EQ(journal.events[0].kind, ProfileActivityKind::proxyConnectionUnavailable);
      EXPECT_EQ(journal.events[0].proxyName, "Sample");
    }
  }
}

TEST_F(ProfileLauncherTest, AFailedLaunchStopsTheSidecarItStarted) {
  const AppProfile profile = catalogue({.proxyConnectionID = connection_});
  auto sidecarSupervisor = sidecars();
  auto subject = launcher(*sidecarSupervisor, /*failLaunch=*/true);
  EXPECT_EQ(testing::errorCaseOf([&] { subject.launch(profile.id); }), Case::installationChanged);
  EXPECT_TRUE(plannedRoute_);
  EXPECT_FALSE(sidecarRecorded(profile));
  EXPECT_FALSE(sidecarSupervisor->handle(profile.id));
}

TEST_F(ProfileLauncherTest, AnEndedApplicationIsFinishedAndAMissingConnectionNeverFallsBack) {
  const AppProfile profile =
      catalogue({.proxyConnectionID = connection_, .allowSystemRouteFallback = true});
  auto sidecarSupervisor = sidecars();
  auto subject = launcher(*sidecarSupervisor);
  std::vector<std::string> steps;
  const auto record = [&](const ProfileLaunchProgress& progress) {
    steps.emplace_back(rawValue(progress.step));
  };
  const auto launch = subject.launch(profile.id, record);
  ::kill(launch.run.rootPID, SIGTERM);
  while (subject.status(launch).state != ProcessRunState::managedGroupStoppedAwaitingConfirmation)
    ::usleep(10'000);
  EXPECT_EQ(subject.finish(launch, record).state, ProcessRunState::stoppedConfirmed);
  EXPECT_EQ(steps,
            (std::vector<std::string>{"profile_loaded", "application_verified", "proxy_starting",
                                      "proxy_ready", "application_started", "sidecar_attached",
                                      "completion_confirmed", "sidecar_stopped"}));
  EXPECT_FALSE(sidecarRecorded(profile));

  VLESSConnectionRepository(dir_.path(), kNoDefault).remove(connection_, {});
  EXPECT_EQ(testing::errorCaseOf([&] { subject.launch(profile.id); }),
            Case::proxyConnectionNotFound);
  EXPECT_EQ(testing::errorCaseOf([&] { subject.launch(Uuid::random()); }), Case::profileNotFound);
}

TEST_F(ProfileLauncherTest, ALostProxyStopsTheProfileUnlessTheSystemRouteIsAllowed) {
  for (const bool allowed : {false, true}) {
    SCOPED_TRACE(allowed ? "system route allowed" : "system route refused");
    const AppProfile profile =
        catalogue({.proxyConnectionID = connection_, .allowSystemRouteFallback = allowed});
    auto sidecarSupervisor = sidecars();
    auto subject = launcher(*sidecarSupervisor);
    auto launch = subject.launch(profile.id);
    EXPECT_EQ(subject.checkProxy(launch, 0), ProxyVerdict::available);
    ::kill(launch.sidecar->processID, SIGKILL);
    EXPECT_EQ(subject.checkProxy(launch, 0),
              allowed ? ProxyVerdict::unavailableKeptOpen : ProxyVerdict::unavailableMustStop);
    EXPECT_EQ(subject.checkProxy(launch, 0),
              allowed ? ProxyVerdict::unavailableKeptOpen : ProxyVerdict::unavailableMustStop);
    const auto events = readProfileActivityJournal(launch.paths(), 1 << 20).events;
    ASSERT_EQ(events.size(), 2u) << "one event per change of health";
    EXPECT_EQ(events[1].kind, allowed ? ProfileActivityKind::proxyUnavailableWhileRunning
                                      : ProfileActivityKind::proxyDisconnected);
    processes_.stop(profile.id, launch.paths(), 10);
    processes_.confirmCompletion(profile.id, launch.run.runID, launch.paths());
  }
}

}  // namespace
}  // namespace korvelin
