// `korvelin launch` of a Chrome profile with a saved connection, end to end:
// Debian's Chromium (through the test shim) behind the real Xray and its
// loopback REALITY server, stopped with Ctrl-C.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/apps/BundleInspector.h"
#include "core/apps/LaunchAdapter.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileRepository.h"
#include "core/proxy/VLESSConnectionRepository.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/XrayPeers.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPage = "/through-chromium";

// Polls `condition` for up to `limit`, collecting the test's adopted orphans
// (other than `keep`) meanwhile.
template <typename Condition>
bool eventually(Condition condition, std::chrono::seconds limit, pid_t keep = -1) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    for (pid_t child : testing::childrenOfThisProcess())
      if (child != keep)
        testing::reapIfExited(child);
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

bool groupIsEmpty(pid_t group) {
  return ::kill(-group, 0) != 0 && errno == ESRCH;
}

TEST(ChromeLaunchTest, ChromiumBrowsesThroughTheRealXrayUntilCtrlC) {
  std::string reason;
  const auto xray = testing::realXrayPath(reason);
  if (!xray)
    GTEST_SKIP() << "real Xray unavailable: " << reason;
  if (::access("/usr/bin/chromium", X_OK) != 0)
    GTEST_SKIP() << "Chromium unavailable: /usr/bin/chromium is missing (scripts/bootstrap "
                    "installs Debian's chromium)";

  testing::ScopedSubreaper reaper;
  testing::ScopedTempDir base, serverDirectory;
  ::chmod(base.path().c_str(), 0700);
  testing::XrayServer server(*xray, serverDirectory.path(), testing::VlessShape::realityTCP);
  demo::LoopbackEchoServer echo;
  testing::BundleFixtures bundles;
  const auto& chrome = managedApplication(ManagedApplicationSupport::chromeAdapterIdentifier);
  auto layout = testing::BundleFixtures::layoutFor(chrome);
  layout.program = "chromium-shim";
  const std::string bundle = bundles.make(layout);

  const std::string noDefault = "/nonexistent/korvelin-default-base";
  const Uuid connection = Uuid::random();
  VLESSConnectionRepository(base.path(), noDefault).create(connection, "Loopback", server.link());
  ProfileRepository::Draft draft{.id = Uuid::random(),
                                 .name = "Browser",
                                 .proxyConnectionID = connection,
                                 .launchArguments = {echo.url(kPage)}};
  const auto installation = makeBundleInspector(chrome.adapterIdentifier)->inspect(bundle);
  const auto profile = ProfileRepository(base.path(), noDefault).create(draft, installation);
  const ProfilePaths paths(profile.id, base.path());

  testing::Subprocess korvelin(
      {testing::korvelinPath(), "--base", base.path(), "--no-host-start", "launch", "Browser",
       "--json", "--xray", *xray, "--probe-url", echo.url("/probe")},
      {.environment = std::vector<std::string>{"HOME=" + base.path(), "PATH=/usr/bin:/bin"}});
  ASSERT_TRUE(korvelin.waitForOutput("\"event\":\"launched\"", 90s))
      << korvelin.output() << korvelin.errors();
  nlohmann::json launched;
  std::istringstream lines(korvelin.output());
  for (std::string line; std::getline(lines, line);)
    if (line.find("\"launched\"") != std::string::npos)
      launched = nlohmann::json::parse(line)["launch"];
  const pid_t root = launched["run"]["rootPID"];
  const pid_t group = launched["run"]["processGroupID"];
  const pid_t engine = launched["sidecar"]["processID"];
  const std::string route = launched["route"];
  const auto record = XrayDurableStateStore().readOnly(paths);
  ASSERT_TRUE(record.guardianPID);
  const pid_t guardian = *record.guardianPID;

  // Chromium runs with the profile's directory and proxy, takes its
  // singleton locks in the profile, and its page crosses the REALITY server.
  const std::string arguments = testing::commandLineOf(root);
  EXPECT_NE(arguments.find("--user-data-dir=" + paths.userData()), std::string::npos) << arguments;
  EXPECT_NE(arguments.find("--proxy-server=" + route), std::string::npos) << arguments;
  EXPECT_EQ(route.rfind("socks5://127.0.0.1:", 0), 0u) << route;
  EXPECT_TRUE(eventually(
      [&] {
        struct stat info;
        for (const char* name : {"SingletonLock", "SingletonCookie", "SingletonSocket"})
          if (::lstat((paths.userData() + "/" + name).c_str(), &info) != 0 ||
              !S_ISLNK(info.st_mode))
            return false;
        return true;
      },
      60s, korvelin.pid()));
  EXPECT_TRUE(eventually([&] { return echo.callerOf(kPage).has_value(); }, 90s, korvelin.pid()));
  EXPECT_EQ(echo.callerOf(kPage).value_or("nothing"), testing::XrayServer::kEgressAddress);
  EXPECT_EQ(launched["continuityWarning"], nullptr);

  // Ctrl-C stops the group, then the sidecar, and nothing is left.
  korvelin.signal(SIGINT);
  const auto status = korvelin.wait(90s);
  ASSERT_TRUE(status) << korvelin.output() << korvelin.errors();
  EXPECT_NE(korvelin.output().find("\"sidecar_stopped\""), std::string::npos) << korvelin.output();
  EXPECT_TRUE(eventually([&] { return groupIsEmpty(group); }, 30s));
  EXPECT_TRUE(eventually(
      [&] { return !testing::processExists(guardian) && !testing::processExists(engine); }, 30s));
  EXPECT_TRUE(
      eventually([&] { return testing::processesMentioning(paths.userData()).empty(); }, 30s));
  EXPECT_EQ(XrayDurableStateStore().readOnly(paths).status, XrayDurableState::Status::empty);
  EXPECT_FALSE(std::filesystem::exists(paths.leaseFile()));
}

}  // namespace
}  // namespace korvelin
