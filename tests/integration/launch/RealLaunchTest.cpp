// Launches behind the real Xray and its loopback REALITY server, with Debian's
// Chromium (through the test shim) as Google Chrome and the real Codex CLI
// as Codex's backend: `korvelin launch` of a Chrome profile stopped with
// Ctrl-C; a Codex version checked, then launched confined behind its sidecar;
// and a Claude profile's sign-in link, end to end through the host: the Claude stand-in opens it
// with $BROWSER, the browser shim hands it to the run's bridge, the router picks the Chrome profile
// paired by name and connection, and its running Chromium takes it and fetches it through its own
// sidecar.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
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
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/RealXray.h"
#include "tests/support/ServicesSupport.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/XrayPeers.h"

namespace korvelin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using ::testing::HasSubstr;

constexpr const char* kPage = "/through-chromium";
constexpr const char* kSignIn = "/oauth/authorize?client=claude&state=chain";
const std::string kNoDefault = "/nonexistent/korvelin-default-base";

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

// The lines of a `--json` launch client whose event is `event`.
std::vector<json> eventsNamed(testing::Subprocess& client, const std::string& event) {
  std::vector<json> found;
  for (auto& line : testing::jsonLines(client.output()))
    if (line.value("event", "") == event)
      found.push_back(std::move(line));
  return found;
}

// A base with one saved connection to a loopback REALITY server whose
// egress reaches the echo server.
class RealLaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    xray_ = testing::realXrayPath(reason).value_or("");
    if (xray_.empty())
      GTEST_SKIP() << "real Xray unavailable: " << reason;
    if (::access("/usr/bin/chromium", X_OK) != 0)
      GTEST_SKIP() << "Chromium unavailable: /usr/bin/chromium is missing (scripts/bootstrap "
                      "installs Debian's chromium)";
    ::chmod(base_.path().c_str(), 0700);
    server_ = std::make_unique<testing::XrayServer>(xray_, serverDirectory_.path(),
                                                    testing::VlessShape::realityTCP);
    VLESSConnectionRepository(base_.path(), kNoDefault)
        .create(connection_, "Loopback", server_->link());
  }

  // A host still serving the base (a test that failed half-way) is stopped
  // as a service manager stops it, which stops every run it holds.
  void TearDown() override {
    const auto ps = cli({"--no-host-start", "ps", "--json"});
    const auto listed = json::parse(ps.output, nullptr, false);
    if (listed.is_discarded() || !listed["host"].is_number_integer())
      return;
    const pid_t host = listed["host"].get<int>();
    ::kill(host, SIGTERM);
    testing::eventually(
        [&] { return testing::reapIfExited(host) && !testing::processExists(host); }, 30s);
  }

  // A catalogued profile of `adapter` behind the saved connection, whose
  // bundle runs the test program `program`.
  AppProfile catalogue(const std::string& name,
                       std::string_view adapter,
                       const std::string& program,
                       std::vector<std::string> launchArguments = {}) {
    auto layout = testing::BundleFixtures::layoutFor(managedApplication(adapter));
    layout.program = program;
    ProfileRepository::Draft draft{.id = Uuid::random(),
                                   .name = name,
                                   .proxyConnectionID = connection_,
                                   .launchArguments = std::move(launchArguments)};
    const auto installation = makeBundleInspector(adapter)->inspect(bundles_.make(layout));
    return ProfileRepository(base_.path(), kNoDefault).create(draft, installation);
  }

  // `korvelin --base BASE` with `arguments`, run to its end.
  testing::RunResult cli(std::vector<std::string> arguments, std::string input = "") {
    arguments.insert(arguments.begin(), {testing::korvelinPath(), "--base", base_.path()});
    return testing::run(arguments, {.standardInput = std::move(input)});
  }

  // `korvelin launch` of the profile, once it has launched.
  std::unique_ptr<testing::Subprocess> launch(const std::string& profile, bool hostStart) {
    std::vector<std::string> arguments{testing::korvelinPath(), "--base", base_.path()};
    if (!hostStart)
      arguments.push_back("--no-host-start");
    arguments.insert(arguments.end(), {"launch", profile, "--json", "--xray", xray_, "--probe-url",
                                       echo_.url("/probe")});
    auto client = std::make_unique<testing::Subprocess>(
        arguments, testing::SubprocessOptions{.environment = std::vector<std::string>{
                                                  "HOME=" + base_.path(), "PATH=/usr/bin:/bin"}});
    EXPECT_TRUE(client->waitForOutput("\"event\":\"launched\"", 90s))
        << client->output() << client->errors();
    return client;
  }

  testing::ScopedSubreaper reaper_;
  testing::ScopedTempDir base_, serverDirectory_;
  std::string xray_;
  std::unique_ptr<testing::XrayServer> server_;
  demo::LoopbackEchoServer echo_;
  testing::BundleFixtures bundles_;
  Uuid connection_ = Uuid::random();
};

TEST_F(RealLaunchTest, ChromiumBrowsesThroughTheRealXrayUntilCtrlC) {
  const auto profile = catalogue("Browser", ManagedApplicationSupport::chromeAdapterIdentifier,
                                 "chromium-shim", {echo_.url(kPage)});
  const ProfilePaths paths(profile.id, base_.path());
  auto client = launch(profile.id.uppercaseString(), false);
  testing::Subprocess& korvelin = *client;
  json launched = eventsNamed(korvelin, "launched").at(0)["launch"];

  const pid_t root = launched["run"]["rootPID"];
  const pid_t group = launched["run"]["processGroupID"];
  const pid_t engine = launched["sidecar"]["processID"];
  const std::string route = launched["route"];
  const auto record = XrayDurableStateStore().readOnly(paths);
  ASSERT_TRUE(record.guardianPID);
  const pid_t guardian = *record.guardianPID;

  // Chromium runs with the profile's directory and proxy, and its page
  // crosses the REALITY server.
  const std::string arguments = testing::commandLineOf(root);
  EXPECT_THAT(arguments, HasSubstr("--user-data-dir=" + paths.userData()));
  EXPECT_THAT(arguments, HasSubstr("--proxy-server=" + route));
  EXPECT_EQ(route.rfind("socks5://127.0.0.1:", 0), 0u) << route;
  EXPECT_TRUE(eventually([&] { return echo_.callerOf(kPage).has_value(); }, 90s, korvelin.pid()));
  EXPECT_EQ(echo_.callerOf(kPage).value_or("nothing"), testing::XrayServer::kEgressAddress);
  EXPECT_EQ(launched["continuityWarning"], nullptr);

  // Ctrl-C stops the group, then the sidecar, and nothing is left.
  korvelin.signal(SIGINT);
  const auto status = korvelin.wait(90s);
  ASSERT_TRUE(status) << korvelin.output() << korvelin.errors();
  EXPECT_THAT(korvelin.output(), HasSubstr("\"sidecar_stopped\""));
  EXPECT_TRUE(eventually([&] { return groupIsEmpty(group); }, 30s));
  EXPECT_TRUE(eventually(
      [&] { return !testing::processExists(guardian) && !testing::processExists(engine); }, 30s));
  EXPECT_TRUE(
      eventually([&] { return testing::processesMentioning(paths.userData()).empty(); }, 30s));
  EXPECT_EQ(XrayDurableStateStore().readOnly(paths).status, XrayDurableState::Status::empty);
  EXPECT_FALSE(std::filesystem::exists(paths.leaseFile()));
}

// A Codex profile behind the saved connection: the version is approved by
// `codex check`, the profile launched through its sidecar (whose server's
// only way out is loopback), and the application's process group alone keeps
// that sidecar alive once the host is gone.
TEST_F(RealLaunchTest, ACheckedCodexRunsConfinedBehindItsSidecarWhichEndsWithIt) {
  std::string reason;
  const auto codex = testing::realCodexPath(reason);
  if (!codex)
    GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
  const std::string bundle =
      bundles_.make(testing::BundleFixtures::uncheckedCodexLayout("desktop-standin", *codex));
  const auto compatibility = [&] {
    return json::parse(cli({"app", "inspect", bundle, "--json"}).output).at("compatibilityStatus");
  };

  // Refused until checked, then approved for exactly this installation.
  EXPECT_EQ(compatibility(), "unverifiedVersion");
  const auto refused = cli({"profile", "create", "Work", "--bundle", bundle});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.errors, "korvelin: Codex version 26.903.61454 (8379) is not verified.\n");
  const auto checked = cli({"codex", "check", bundle, "--timeout", "120", "--json"});
  ASSERT_EQ(checked.exitCode, 0) << checked.errors;
  const auto installation = json::parse(checked.output).at("installation");
  EXPECT_EQ(installation.at("compatibilityStatus"), "locallyVerified");
  const auto approvals = json::parse(cli({"codex", "approvals", "--json"}).output);
  ASSERT_EQ(approvals.at("approvals").size(), 1u);
  EXPECT_EQ(approvals.at("approvals")[0].at("codeDirectoryHash"),
            installation.at("codeDirectoryHash"));
  const auto created = cli({"profile", "create", "Work", "--bundle", bundle, "--connection",
                            connection_.uppercaseString(), "--json"});
  ASSERT_EQ(created.exitCode, 0) << created.errors;
  const std::string id = json::parse(created.output).at("id");
  const std::string root = base_.child("Profiles/" + Uuid::parse(id)->lowercaseString());

  auto launched = launch("Work", true);
  const auto started = eventsNamed(*launched, "application_started");
  ASSERT_EQ(started.size(), 1u) << launched->output();
  const pid_t app = std::stoi(started[0].at("detail").get<std::string>());
  const auto state = json::parse(cli({"xray-state", "Work", "--json"}).output);
  const pid_t guardian = state.at("guardianPID");
  const std::string proxy =
      "socks5://127.0.0.1:" + std::to_string(state.at("loopbackPort").get<int>());

  EXPECT_EQ(testing::commandLineOf(app),
            bundle + "/Contents/MacOS/ChatGPT --user-data-dir=" + root +
                "/user-data --no-first-run --proxy-server=" + proxy + " ");
  const std::string environment =
      std::string(1, '\0') + testing::readText("/proc/" + std::to_string(app) + "/environ");
  for (const std::string& expected :
       {"HOME=" + root + "/home", "USERPROFILE=" + root + "/home",
        "XDG_CONFIG_HOME=" + root + "/config", "XDG_CACHE_HOME=" + root + "/cache",
        "CODEX_HOME=" + root + "/home/.codex", std::string("CODEX_SPARKLE_ENABLED=false"),
        "HTTP_PROXY=" + proxy, "HTTPS_PROXY=" + proxy, "ALL_PROXY=" + proxy,
        std::string("NO_PROXY=localhost,127.0.0.1,::1")})
    EXPECT_NE(environment.find('\0' + expected + '\0'), std::string::npos) << expected;
  // Codex fills its home inside the profile.
  EXPECT_TRUE(eventually(
      [&] { return !testing::readText(root + "/home/.codex/installation_id").empty(); }, 60s));

  // The host dies; the sidecar stays for the application's group, and ends
  // with it.
  launched->signal(SIGKILL);
  launched->wait();
  EXPECT_TRUE(testing::processExists(guardian));
  ASSERT_EQ(::kill(-app, SIGTERM), 0);
  EXPECT_TRUE(eventually([&] { return !testing::processExists(guardian); }, 30s));
  EXPECT_TRUE(eventually([&] { return groupIsEmpty(app); }, 30s));

  // Other code in the executable is another installation: checked again.
  const std::string executable = bundle + "/Contents/MacOS/ChatGPT";
  const std::string bytes = testing::readText(executable);
  ASSERT_EQ(::unlink(executable.c_str()), 0);
  testing::makeFile(executable, 0755, bytes + "\n");
  EXPECT_EQ(compatibility(), "unverifiedVersion");
}

TEST_F(RealLaunchTest, AClaudeSignInLinkOpensInThePairedChromeBehindItsSidecar) {
  // Paired: the same name but for letter case, the same saved connection.
  const auto chrome =
      catalogue("Work", ManagedApplicationSupport::chromeAdapterIdentifier, "chromium-shim");
  const auto claude =
      catalogue("work", ManagedApplicationSupport::claudeAdapterIdentifier, "desktop-standin");
  const ProfilePaths chromePaths(chrome.id, base_.path());
  const ProfilePaths claudePaths(claude.id, base_.path());

  // Both launched by clients of one host, started on demand by the first.
  auto chromeClient = launch(chrome.id.uppercaseString(), true);
  auto claudeClient = launch(claude.id.uppercaseString(), true);
  const auto bridgeReady = eventsNamed(*claudeClient, "browser_bridge_ready");
  ASSERT_EQ(bridgeReady.size(), 1u) << claudeClient->output();
  const std::string bridgeSocket = bridgeReady[0]["detail"];

  // Chromium is up once its singleton lock names it in the profile.
  ASSERT_TRUE(testing::eventually(
      [&] { return testing::exists(chromePaths.userData() + "/SingletonLock"); }, 60s));
  // The stand-in opens the sign-in link as Claude does.
  const std::string link = echo_.url(kSignIn);
  std::ofstream(claudePaths.userData() + "/open-url.tmp") << link;
  fs::rename(claudePaths.userData() + "/open-url.tmp", claudePaths.userData() + "/open-url");
  const std::string result = claudePaths.userData() + "/browser-result";
  ASSERT_TRUE(testing::eventually([&] { return fs::exists(result); }, 60s));
  EXPECT_EQ(json::parse(testing::readText(result), nullptr, false)["status"], 0)  // taken: "pane"
      << testing::readText(result);

  // The launch client hears that the running Chromium took the link, never
  // the link itself; the page arrives from the REALITY server's egress.
  ASSERT_TRUE(claudeClient->waitForOutput("browser_link_opened", 30s)) << claudeClient->output();
  const auto opened = eventsNamed(*claudeClient, "browser_link_opened");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_THAT(opened[0]["detail"].get<std::string>(),
              HasSubstr("Opening in existing browser session."));
  EXPECT_EQ(claudeClient->output().find(link), std::string::npos);
  EXPECT_TRUE(testing::eventually([&] { return echo_.callerOf(kSignIn).has_value(); }, 60s));
  EXPECT_EQ(echo_.callerOf(kSignIn).value_or("nothing"), testing::XrayServer::kEgressAddress);

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
  EXPECT_TRUE(testing::eventually([&] { return !fs::exists(base_.child(".host.sock")); }, 20s));
}

}  // namespace
}  // namespace korvelin
