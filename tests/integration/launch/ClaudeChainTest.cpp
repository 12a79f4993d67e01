// A Claude profile's sign-in link, end to end through the host: the Claude
// stand-in opens it with $BROWSER, the browser shim hands it to the run's
// bridge, the router picks the Chrome profile paired by name and connection,
// and its running Chromium (Debian's, through the test shim) takes it and
// fetches it through its own sidecar: the real Xray and its loopback REALITY
// server.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSignIn = "/oauth/authorize?client=claude&state=chain";
const std::string kNoDefault = "/nonexistent/korvelin-default-base";

nlohmann::json fileJson(const std::string& path) {
  std::ifstream in(path);
  return nlohmann::json::parse(in, nullptr, false);
}

// The lines of a `--json` launch client whose event is `event`.
std::vector<nlohmann::json> linesOf(testing::Subprocess& client, const std::string& event) {
  std::vector<nlohmann::json> found;
  std::istringstream lines(client.output());
  for (std::string line; std::getline(lines, line);) {
    auto json = nlohmann::json::parse(line, nullptr, false);
    if (!json.is_discarded() && json.value("event", "") == event)
      found.push_back(std::move(json));
  }
  return found;
}

AppProfile catalogue(const std::string& base,
                     const std::string& name,
                     const Uuid& connection,
                     const ManagedApplication& application,
                     const std::string& bundle) {
  ProfileRepository::Draft draft{.id = Uuid::random(), .name = name};
  draft.proxyConnectionID = connection;
  const auto installation = makeBundleInspector(application.adapterIdentifier)->inspect(bundle);
  return ProfileRepository(base, kNoDefault).create(draft, installation);
}

TEST(ClaudeChainTest, ASignInLinkFromClaudeOpensInThePairedChromeBehindItsSidecar) {
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
  const auto& chromeApp = managedApplication(ManagedApplicationSupport::chromeAdapterIdentifier);
  const auto& claudeApp = managedApplication(ManagedApplicationSupport::claudeAdapterIdentifier);
  auto chromeLayout = testing::BundleFixtures::layoutFor(chromeApp);
  chromeLayout.program = "chromium-shim";
  auto claudeLayout = testing::BundleFixtures::layoutFor(claudeApp);
  claudeLayout.program = "claude-desktop";

  // Paired: the same name but for letter case, the same saved connection.
  const Uuid connection = Uuid::random();
  VLESSConnectionRepository(base.path(), kNoDefault).create(connection, "Loopback", server.link());
  const auto chrome =
      catalogue(base.path(), "Work", connection, chromeApp, bundles.make(chromeLayout));
  const auto claude =
      catalogue(base.path(), "work", connection, claudeApp, bundles.make(claudeLayout));
  const ProfilePaths chromePaths(chrome.id, base.path());
  const ProfilePaths claudePaths(claude.id, base.path());

  // Both launched by clients of one host, started on demand by the first.
  auto launch = [&](const AppProfile& profile) {
    auto client = std::make_unique<testing::Subprocess>(
        std::vector<std::string>{testing::korvelinPath(), "--base", base.path(), "launch",
                                 profile.id.uppercaseString(), "--json", "--xray", *xray,
                                 "--probe-url", echo.url("/probe")},
        testing::SubprocessOptions{
            .environment = std::vector<std::string>{"HOME=" + base.path(), "PATH=/usr/bin:/bin"}});
    EXPECT_TRUE(client->waitForOutput("\"event\":\"launched\"", 90s))
        << client->output() << client->errors();
    return client;
  };
  auto chromeClient = launch(chrome);
  auto claudeClient = launch(claude);
  const auto bridgeReady = linesOf(*claudeClient, "browser_bridge_ready");
  ASSERT_EQ(bridgeReady.size(), 1u) << claudeClient->output();
  const std::string bridgeSocket = bridgeReady[0]["detail"];

  // Chromium is up once its singleton lock names it in the profile.
  ASSERT_TRUE(testing::eventually(
      [&] {
        struct stat info;
        return ::lstat((chromePaths.userData() + "/SingletonLock").c_str(), &info) == 0;
      },
      60s));
  const std::string recorded = claudePaths.userData() + "/standin.json";
  ASSERT_TRUE(testing::eventually([&] { return fs::exists(recorded); }, 30s));
  const auto environment = fileJson(recorded)["environment"];
  EXPECT_EQ(environment["BROWSER"],
            fs::path(testing::korvelinPath()).parent_path().string() + "/korvelin-browser-shim");
  EXPECT_NE(environment.value("CLAUDE_BROWSER_BRIDGE", "").find(bridgeSocket), std::string::npos);

  // The stand-in opens the sign-in link as Claude does.
  const std::string link = echo.url(kSignIn);
  std::ofstream(claudePaths.userData() + "/open-url.tmp") << link;
  fs::rename(claudePaths.userData() + "/open-url.tmp", claudePaths.userData() + "/open-url");
  const std::string result = claudePaths.userData() + "/browser-result";
  ASSERT_TRUE(testing::eventually([&] { return fs::exists(result); }, 60s));
  EXPECT_EQ(fileJson(result)["status"], 0) << fileJson(result).dump();  // taken: "pane"

  // The launch client hears that the running Chromium took the link, never
  // the link itself; the page arrives from the REALITY server's egress.
  ASSERT_TRUE(claudeClient->waitForOutput("browser_link_opened", 30s)) << claudeClient->output();
  const auto opened = linesOf(*claudeClient, "browser_link_opened");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_NE(opened[0]["detail"].get<std::string>().find("Opening in existing browser session."),
            std::string::npos)
      << opened[0].dump();
  EXPECT_EQ(claudeClient->output().find(link), std::string::npos);
  EXPECT_TRUE(testing::eventually([&] { return echo.callerOf(kSignIn).has_value(); }, 60s));
  EXPECT_EQ(echo.callerOf(kSignIn).value_or("nothing"), testing::XrayServer::kEgressAddress);

  // Stopped in turn: the bridge's socket goes with Claude's run, and nothing
  // of either profile is left.
  for (auto* client : {claudeClient.get(), chromeClient.get()}) {
    client->signal(SIGINT);
    EXPECT_TRUE(client->wait(90s)) << client->output() << client->errors();
  }
  EXPECT_FALSE(fs::exists(bridgeSocket));
  for (const auto* paths : {&claudePaths, &chromePaths}) {
    EXPECT_TRUE(testing::eventually(
        [&] { return testing::processesMentioning(paths->userData()).empty(); }, 30s));
    EXPECT_EQ(XrayDurableStateStore().readOnly(*paths).status, XrayDurableState::Status::empty);
    EXPECT_FALSE(fs::exists(paths->leaseFile()));
  }
  EXPECT_TRUE(testing::eventually([&] { return !fs::exists(base.child(".host.sock")); }, 20s));
}

}  // namespace
}  // namespace korvelin
