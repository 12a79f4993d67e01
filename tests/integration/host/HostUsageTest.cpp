// The host's usage monitor of a running Codex profile, with the real
// `codex app-server` (linked into a verified Codex bundle) asking a loopback
// backend: `ps` shows what the backend serves, a window that resets is
// journaled once, and nothing of the monitor outlives the host.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/activity/ProfileActivityJournal.h"
#include "core/apps/CodexBundleInspector.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/CodexUsageSupport.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/RealXray.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::run;

class HostUsageTest : public testing::ProfileCliTest {
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
TEST_F(HostUsageTest, UnprovenRoutesStartNothingAndDirectRunsShowTheServedPercentage) {
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

}  // namespace
}  // namespace korvelin
