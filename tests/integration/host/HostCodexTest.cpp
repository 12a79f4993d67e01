// The host's services of a running Codex profile (linked to the real
// `codex app-server` in a verified Codex bundle): its usage monitor asking a
// loopback backend, and its YouTrack gateway, found through the block in the
// profile's config.toml and answering a real MCP client.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/activity/ProfileActivityJournal.h"
#include "core/apps/CodexBundleInspector.h"
#include "core/codex/CodexMCPConfigProvisioner.h"
#include "core/platform/FileUtil.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/CodexUsageSupport.h"
#include "tests/support/McpPeers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/RealXray.h"
#include "tests/support/XrayPeers.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::run;

class HostCodexTest : public testing::ProfileCliTest {
 protected:
  void SetUp() override {
    ProfileCliTest::SetUp();
    std::string reason;
    const auto codex = testing::realCodexPath(reason);
    if (!codex)
      GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
    auto layout = testing::BundleFixtures::layoutFor(ManagedApplicationSupport::applications[0]);
    layout.backend.clear();  // the real one, linked below
    layout.plist["CFBundleShortVersionString"] =
        std::string(CodexBundleInspector::currentVerifiedMarketingVersion);
    layout.plist["CFBundleVersion"] =
        std::string(CodexBundleInspector::currentVerifiedBuildVersion);
    bundle = bundles.make(layout);
    ::mkdir((bundle + "/Contents/Resources").c_str(), 0755);
    ASSERT_EQ(::link(codex->c_str(), (bundle + "/Contents/Resources/codex").c_str()), 0);
    const auto created =
        run(korvelin({"profile", "create", "Work", "--bundle", bundle, "--id", profile_}));
    ASSERT_EQ(created.exitCode, 0) << created.errors;
    ::mkdir(paths_.home().c_str(), 0700);
    ::mkdir(paths_.codexHome().c_str(), 0700);
    testing::signInToUsageBackend(
        paths_.codexHome(), "http://127.0.0.1:" + std::to_string(backend.port()) + "/backend-api/");
  }

  void TearDown() override {
    if (host) {
      host->signal(SIGTERM);
      host->wait(30s);
    }
  }

  void startRun() {
    app = std::make_unique<testing::Subprocess>(
        client({"run", profile_, "--", testing::testProgramPath("idle-app")}));
    ASSERT_TRUE(app->waitForOutput("pid ", 30s)) << app->errors();
  }

  std::vector<std::string> client(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {testing::korvelinPath(), "--base", dir_.path()});
    return arguments;
  }

  nlohmann::json usage() {
    const auto ps = run(client({"ps", "--json"}));
    const auto profiles = nlohmann::json::parse(ps.output, nullptr, false);
    if (profiles.is_discarded() || profiles["profiles"].size() != 1)
      return nullptr;
    return profiles["profiles"][0]["usage"];
  }
  bool remaining(int percent) {
    return eventually([&] { return usage().value("remainingPercent", -1) == percent; }, 30s);
  }
  std::size_t resetsJournaled() {
    std::size_t count = 0;
    for (const auto& event : readProfileActivityJournal(paths_, 1 << 20).events)
      count += event.kind == ProfileActivityKind::codexUsageReset;
    return count;
  }
  bool appServerRunning() const {
    return run({"/usr/bin/pgrep", "-f", bundle + "/Contents/Resources/codex app-server"})
               .exitCode == 0;
  }

  testing::ScopedSubreaper reaper;
  testing::BundleFixtures bundles;
  testing::UsageBackendMock backend;
  std::string bundle;
  std::unique_ptr<testing::Subprocess> host;
  std::unique_ptr<testing::Subprocess> app;
};

// A profile on a saved connection whose sidecar this host did not start has
// no route the host can prove: its app-server is never started. Direct
// again, its next run's monitor shows in `ps` what the backend serves, a
// window that resets is journaled once, and nothing of the monitor outlives
// the host.
TEST_F(HostCodexTest, UnprovenRoutesStartNothingAndDirectRunsShowTheServedPercentage) {
  const std::string connection = Uuid::random().uppercaseString();
  testing::outputOf(run(korvelin(
      {"connection", "add", "Office", "--link", testing::kSampleLink, "--id", connection})));
  testing::outputOf(run(korvelin({"profile", "update", "Work", "--connection", connection})));
  host = std::make_unique<testing::Subprocess>(
      client({"host", "--foreground", "--usage-interval", "5"}));
  ASSERT_TRUE(host->waitForOutput("serving", 30s)) << host->errors();
  startRun();
  ASSERT_TRUE(eventually([&] { return !usage().is_null(); }, 30s));
  EXPECT_EQ(usage(), nlohmann::json({{"state", "unavailable"},
                                     {"reason", "routeUnverified"},
                                     {"windows", nlohmann::json::array()}}));
  EXPECT_FALSE(appServerRunning());
  EXPECT_TRUE(backend.requestLines().empty());

  EXPECT_EQ(run(client({"stop", profile_})).exitCode, 0);
  app->wait();
  testing::outputOf(run(client({"profile", "update", "Work", "--direct"})));
  backend.setUsedPercent(80, 24);
  startRun();
  ASSERT_TRUE(remaining(20)) << usage().dump();
  const auto json = usage();
  EXPECT_EQ(json["state"], "available");
  EXPECT_EQ(json["windows"][1], nlohmann::json::parse(R"({"bucket": "codex", "window": "secondary",
      "remainingPercent": 76, "windowDurationMins": 10080, "resetsAt": 1796900000})"));
  EXPECT_THAT(run(client({"ps"})).output,
              ::testing::HasSubstr("usage   20% remaining (codex 5h 20%, 7d 76%)"));
  EXPECT_EQ(resetsJournaled(), 0u);

  // The 5-hour window resets: one journal line, however many readings follow.
  backend.setUsedPercent(1, 24);
  ASSERT_TRUE(remaining(99));
  const double resetSeen = usage()["observedAt"];
  ASSERT_TRUE(eventually([&] { return usage().value("observedAt", 0.0) > resetSeen; }, 30s));
  EXPECT_EQ(resetsJournaled(), 1u);
  EXPECT_THAT(run(client({"journal", profile_})).output,
              ::testing::HasSubstr("Codex limits reset: 5h window, 99% remaining"));

  // Stopping the host stops the profile and its monitor's app-server.
  ASSERT_TRUE(appServerRunning());
  host->signal(SIGTERM);
  ASSERT_TRUE(host->wait(30s));
  host.reset();
  EXPECT_FALSE(appServerRunning());
}

// The gateway serves the run while it lives, holding the token still, afresh
// when a new host re-adopts the run after a crash, and is gone once the run
// stops.
TEST_F(HostCodexTest, ARunningCodexProfileIsServedAndTheTokenStaysStill) {
  std::string reason;
  const auto python = testing::realMcpPythonPath(reason);
  if (!python)
    GTEST_SKIP() << "MCP SDK unavailable: " << reason;
  const std::string token = "perm:host.aG9zdA==.secret";
  const std::string config = paths_.codexHome() + "/config.toml";
  const auto users = platform::readSmallFile(config, 1 << 20);  // the sign-in's
  auto change = [&](const char* what) {
    return testing::run(korvelin({"youtrack", "token", what}), {.standardInput = token + "\n"})
        .exitCode;
  };
  ASSERT_EQ(change("set"), 0);
  testing::McpUpstream upstream(*python, token);
  auto startHost = [&] {
    host = std::make_unique<testing::Subprocess>(
        korvelin({"host", "--foreground", "--youtrack-upstream", upstream.url(), "--youtrack-ca",
                  upstream.certificateAuthority()}));
    EXPECT_TRUE(host->waitForOutput("serving", 30s)) << host->errors();
  };
  // The block's port, once its capability differs from `previous`; a
  // session through it lists the upstream's tools.
  auto served = [&](const std::string& previous) {
    std::smatch found;
    std::string text;
    EXPECT_TRUE(testing::eventually(
        [&] {
          text = platform::readSmallFile(config, 1 << 20).value_or("");
          return std::regex_search(text, found,
                                   std::regex(R"re(:(\d+)/mcp[\s\S]*"([0-9a-f]{64})")re")) &&
                 found[2] != previous;
        },
        20s))
        << text;
    const auto session =
        testing::runMcpSession(*python, "http://127.0.0.1:" + found[1].str() + "/mcp",
                               {.headers = {"X-Korvelin-Capability=" + found[2].str()}});
    EXPECT_EQ(session.at("tools"), nlohmann::json({"echo", "find_issues"}));
    return std::pair(std::stoi(found[1]), found[2].str());
  };

  CodexMCPConfigProvisioner().install(paths_, Uuid::random(), 9, std::string(64, 'a'));
  startHost();  // takes out a block left behind
  EXPECT_EQ(platform::readSmallFile(config, 1 << 20), users);
  testing::Subprocess client(korvelin({"run", profile_, "--", testing::testProgramPath("idle-app"),
                                       "--user-data-dir=" + paths_.userData()}));
  ASSERT_TRUE(client.waitForOutput("pid ", 30s)) << client.errors();
  const auto first = served("");
  EXPECT_EQ(change("set"), 1);
  host->signal(SIGKILL);  // its gateway goes with it; the next host serves the run anew
  host->wait();
  EXPECT_FALSE(testing::listensOnLoopback(first.first));
  startHost();
  const auto second = served(first.second);
  EXPECT_EQ(change("delete"), 1);

  {
    // The re-adopted root is this process's orphan now.
    testing::OrphanCollector collector(
        {std::stoi(client.output().substr(client.output().find("pid ") + 4))});
    EXPECT_EQ(testing::run(korvelin({"stop", profile_})).exitCode, 0);
  }
  EXPECT_EQ(platform::readSmallFile(config, 1 << 20), users);
  EXPECT_FALSE(testing::listensOnLoopback(second.first));
  EXPECT_EQ(change("delete"), 0);
}

}  // namespace
}  // namespace korvelin
