// `korvelin usage` with the real `codex app-server` behind it: one reading
// as text and as JSON with the menu text, a watch that prints a reset of the
// 5-hour window and ends cleanly on SIGINT, and unavailable usage.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/CatalogFixtures.h"
#include "tests/support/CodexUsageSupport.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/RealXray.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;

class CliUsageTest : public testing::ProfileCliTest {
 protected:
  void SetUp() override {
    ProfileCliTest::SetUp();
    std::string reason;
    const auto codex = testing::realCodexPath(reason);
    if (!codex)
      GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
    record = dir_.child("installation.json");
    std::ofstream(record) << nlohmann::json(testing::codexInstallation(*codex)).dump();
    const auto created =
        testing::run(korvelin({"profile", "create", "Work", "--installation", record, "--id",
                               profile_, "--proxy", "http://127.0.0.1:9"}));
    ASSERT_EQ(created.exitCode, 0) << created.errors;
    ::mkdir(paths_.codexHome().c_str(), 0700);
  }

  void signIn() {
    testing::signInToUsageBackend(
        paths_.codexHome(), "http://127.0.0.1:" + std::to_string(backend.port()) + "/backend-api/");
  }

  std::vector<std::string> usage(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"usage", "Work", "--installation", record});
    return korvelin(arguments);
  }

  testing::UsageBackendMock backend;
  std::string record;
};

TEST_F(CliUsageTest, OneReading) {
  signIn();
  const auto text = testing::run(usage({"--menu", "two"}));
  EXPECT_EQ(text.exitCode, 0) << text.errors;
  EXPECT_NE(text.output.find("Work: 94% remaining"), std::string::npos) << text.output;
  EXPECT_NE(text.output.find("codex: 7d window, 76% remaining, resets "), std::string::npos);
  EXPECT_NE(text.output.find("menu: Wo 94%"), std::string::npos);

  const auto json = testing::run(usage({"--json", "--menu", "full"}));
  ASSERT_EQ(json.exitCode, 0) << json.errors;
  const auto line = nlohmann::json::parse(json.output);
  EXPECT_EQ(line["event"], "snapshot");
  EXPECT_EQ(line["menu"], "Work 94%");
  EXPECT_EQ(line["snapshot"]["remainingPercent"], 94);
}

TEST_F(CliUsageTest, WatchPrintsAResetAndStopsOnInterrupt) {
  signIn();
  backend.setUsedPercent(80, 24);
  testing::Subprocess watch(usage({"--watch", "--interval", "5", "--json"}));
  ASSERT_TRUE(watch.waitForOutput("\"remainingPercent\":20", 20s)) << watch.errors();
  backend.setUsedPercent(1, 24);
  ASSERT_TRUE(watch.waitForOutput("\"event\":\"reset\"", 10s)) << watch.output();
  EXPECT_NE(
      watch.output().find(R"("event":"reset","remainingPercent":99,"windowDurationMins":300})"),
      std::string::npos)
      << watch.output();
  watch.signal(SIGINT);
  const auto status = watch.wait(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << watch.errors();
}

// Without a sign-in, and with a record whose backend is no longer the file
// it names (nothing is started then): exit 1 with the reason.
TEST_F(CliUsageTest, UnavailableUsage) {
  const auto unsigned_ = testing::run(usage({}));
  EXPECT_EQ(unsigned_.exitCode, 1);
  EXPECT_NE(unsigned_.output.find("usage unavailable: authenticationRequired"), std::string::npos)
      << unsigned_.output << unsigned_.errors;
  auto stale = nlohmann::json::parse(std::ifstream(record));
  stale["backendIdentity"]["size"] = 1;
  std::ofstream(record) << stale.dump();
  const auto changed = testing::run(usage({}));
  EXPECT_EQ(changed.exitCode, 1);
  EXPECT_NE(changed.output.find("usage unavailable: connectionFailed"), std::string::npos)
      << changed.output << changed.errors;
}

}  // namespace
}  // namespace korvelin
