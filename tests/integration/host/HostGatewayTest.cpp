// The host gives a running Codex profile its YouTrack gateway: found through
// the block in the profile's config.toml, answering a real MCP client while
// the run lives, holding the token still, served afresh when a new host
// re-adopts the run after a crash, and gone once the run stops.

#include <signal.h>

#include <fstream>
#include <regex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/codex/CodexMCPConfigProvisioner.h"
#include "core/platform/FileUtil.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/McpPeers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/XrayPeers.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::Subprocess;

class HostGatewayTest : public testing::ProfileCliTest {
 protected:
  testing::ScopedSubreaper reaper_;
};

TEST_F(HostGatewayTest, ARunningCodexProfileIsServedAndTheTokenStaysStill) {
  std::string reason;
  const auto python = testing::realMcpPythonPath(reason);
  if (!python)
    GTEST_SKIP() << "MCP SDK unavailable: " << reason;
  const std::string token = "perm:host.aG9zdA==.secret", record = dir_.child("codex.json");
  std::ofstream(record) << nlohmann::json(testing::codexInstallation("/bin/true")).dump();
  testing::outputOf(testing::run(
      korvelin({"profile", "create", "W", "--installation", record, "--id", profile_})));
  auto change = [&](const char* what) {
    return testing::run(korvelin({"youtrack", "token", what}), {.standardInput = token + "\n"})
        .exitCode;
  };
  ASSERT_EQ(change("set"), 0);
  testing::McpUpstream upstream(*python, token);
  auto startHost = [&] {
    auto host = std::make_unique<Subprocess>(
        korvelin({"host", "--foreground", "--youtrack-upstream", upstream.url(), "--youtrack-ca",
                  upstream.certificateAuthority()}));
    EXPECT_TRUE(host->waitForOutput("serving", 30s)) << host->errors();
    return host;
  };
  // The block's port, once its capability differs from `previous`; a
  // session through it lists the upstream's tools.
  auto served = [&](const std::string& previous) {
    std::smatch found;
    std::string config;
    EXPECT_TRUE(testing::eventually(
        [&] {
          config =
              platform::readSmallFile(paths_.codexHome() + "/config.toml", 1 << 20).value_or("");
          return std::regex_search(config, found,
                                   std::regex(R"re(:(\d+)/mcp[\s\S]*"([0-9a-f]{64})")re")) &&
                 found[2] != previous;
        },
        20s))
        << config;
    const auto session =
        testing::runMcpSession(*python, "http://127.0.0.1:" + found[1].str() + "/mcp",
                               {.headers = {"X-Korvelin-Capability=" + found[2].str()}});
    EXPECT_EQ(session.at("tools"), nlohmann::json({"echo", "find_issues"}));
    return std::pair(std::stoi(found[1]), found[2].str());
  };

  CodexMCPConfigProvisioner().install(paths_, Uuid::random(), 9, std::string(64, 'a'));
  auto host = startHost();  // takes out a block left behind
  EXPECT_EQ(platform::readSmallFile(paths_.codexHome() + "/config.toml", 1 << 20), "");
  Subprocess client(korvelin({"run", profile_, "--", testing::testProgramPath("idle-app"),
                              "--user-data-dir=" + paths_.userData()}));
  ASSERT_TRUE(client.waitForOutput("pid ", 30s)) << client.errors();
  const auto first = served("");
  EXPECT_EQ(change("set"), 1);
  host->signal(SIGKILL);  // its gateway goes with it; the next host serves the run anew
  host->wait();
  EXPECT_FALSE(testing::listensOnLoopback(first.first));
  host = startHost();
  const auto second = served(first.second);
  EXPECT_EQ(change("delete"), 1);

  {
    // The re-adopted root is this process's orphan now.
    testing::OrphanCollector collector(
        {std::stoi(client.output().substr(client.output().find("pid ") + 4))});
    EXPECT_EQ(testing::run(korvelin({"stop", profile_})).exitCode, 0);
  }
  EXPECT_EQ(platform::readSmallFile(paths_.codexHome() + "/config.toml", 1 << 20), "");
  EXPECT_FALSE(testing::listensOnLoopback(second.first));
  EXPECT_EQ(change("delete"), 0);
}

}  // namespace
}  // namespace korvelin
