// The host gives a running Codex profile its YouTrack gateway: found through
// the block in the profile's config.toml, answering a real MCP client while
// the run lives, holding the token still, replaced with a fresh one when a
// new host re-adopts the run after a crash, and gone once the run stops.

#include <signal.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/platform/FileUtil.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/McpPeers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/XrayPeers.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;

const std::string kToken = "perm:host.aG9zdA==.secret";

class HostGatewayTest : public testing::ProfileCliTest {
 protected:
  void SetUp() override {
    ProfileCliTest::SetUp();
    std::string reason;
    const auto path = testing::realMcpPythonPath(reason);
    if (!path)
      GTEST_SKIP() << "MCP SDK unavailable: " << reason;
    python = *path;
    const std::string record = dir_.child("installation.json");
    std::ofstream(record) << nlohmann::json(testing::codexInstallation("/bin/true")).dump();
    const auto created = testing::run(
        korvelin({"profile", "create", "Work", "--installation", record, "--id", profile_}));
    ASSERT_EQ(created.exitCode, 0) << created.errors;
  }

  // Commands that go through the base's host.
  std::vector<std::string> hosted(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {testing::korvelinPath(), "--base", dir_.path()});
    return arguments;
  }
  std::unique_ptr<testing::Subprocess> startHost(const testing::McpUpstream& upstream) {
    auto host = std::make_unique<testing::Subprocess>(
        hosted({"host", "--foreground", "--youtrack-upstream", upstream.url(), "--youtrack-ca",
                upstream.certificateAuthority()}));
    EXPECT_TRUE(host->waitForOutput("serving", 30s)) << host->errors();
    return host;
  }
  int tokenChange(const std::string& change) {
    return testing::run(korvelin({"youtrack", "token", change}), {.standardInput = kToken + "\n"})
        .exitCode;
  }

  // The gateway the block names once it differs from `previous`: port and
  // capability.
  std::pair<int, std::string> gateway(const std::string& previous = "") {
    std::smatch found;
    std::string config;
    const std::regex block(R"re(127\.0\.0\.1:(\d+)/mcp[\s\S]*"([0-9a-f]{64})")re");
    EXPECT_TRUE(testing::eventually(
        [&] {
          config =
              platform::readSmallFile(paths_.codexHome() + "/config.toml", 1 << 20).value_or("");
          return std::regex_search(config, found, block) && found[2] != previous;
        },
        20s))
        << config;
    return found.empty() ? std::pair(0, std::string()) : std::pair(std::stoi(found[1]), found[2]);
  }
  void expectSession(const std::pair<int, std::string>& served) {
    const auto session =
        testing::runMcpSession(python, "http://127.0.0.1:" + std::to_string(served.first) + "/mcp",
                               {.headers = {"X-Korvelin-Capability=" + served.second}, .calls = 3});
    EXPECT_EQ(session.at("tools"), nlohmann::json({"echo", "find_issues"}));
  }

  testing::ScopedSubreaper reaper_;
  std::string python;
};

TEST_F(HostGatewayTest, ARunningCodexProfileIsServedAndTheTokenStaysStill) {
  testing::McpUpstream upstream(python, kToken);
  ASSERT_EQ(tokenChange("set"), 0);
  auto host = startHost(upstream);
  testing::Subprocess client(hosted({"run", profile_, "--", testing::testProgramPath("idle-app"),
                                     "--user-data-dir=" + paths_.userData()}));
  ASSERT_TRUE(client.waitForOutput("pid ", 30s)) << client.errors();
  const auto first = gateway();
  expectSession(first);
  EXPECT_EQ(tokenChange("set"), 1);
  EXPECT_EQ(tokenChange("delete"), 1);

  // A host that dies takes its gateway along; the next one re-adopts the run
  // and serves it again, with a fresh capability in the block.
  host->signal(SIGKILL);
  host->wait();
  EXPECT_FALSE(testing::listensOnLoopback(first.first));
  host = startHost(upstream);
  const auto second = gateway(first.second);
  expectSession(second);
  EXPECT_EQ(tokenChange("delete"), 1);

  // The re-adopted root is this process's orphan now, collected as init would.
  std::smatch root;
  const std::string started = client.output();
  ASSERT_TRUE(std::regex_search(started, root, std::regex(R"(pid (\d+))"))) << started;
  std::atomic<bool> reaping{true};
  std::thread collector([&, pid = std::stoi(root[1])] {
    while (reaping) {
      testing::reapIfExited(pid);
      std::this_thread::sleep_for(5ms);
    }
  });
  const auto stopped = testing::run(hosted({"stop", profile_}));
  reaping = false;
  collector.join();
  EXPECT_EQ(stopped.exitCode, 0) << stopped.errors;
  EXPECT_EQ(platform::readSmallFile(paths_.codexHome() + "/config.toml", 1 << 20), "");
  EXPECT_FALSE(testing::listensOnLoopback(second.first));
  EXPECT_EQ(tokenChange("delete"), 0);
  host->signal(SIGTERM);
  EXPECT_TRUE(host->wait());
  for (const auto& request : upstream.requests())
    EXPECT_EQ(request["headers"]["authorization"], "Bearer " + kToken);
}

}  // namespace
}  // namespace korvelin
