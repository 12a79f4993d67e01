// korvelin youtrack end to end: the token goes in through standard input and
// never comes out, and `serve --config` gives a real Codex app-server in the
// profile the upstream's tools, through the gateway, for as long as it runs.

#include <signal.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/platform/FileUtil.h"
#include "tests/support/McpPeers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/RealXray.h"

namespace korvelin {
namespace {

const std::string kToken = "perm:cli.dG9rZW4=.secret";

class CliYouTrackTest : public testing::ProfileCliTest {
 protected:
  testing::RunResult youtrack(std::vector<std::string> arguments, const std::string& input = "") {
    arguments.insert(arguments.begin(), "youtrack");
    return testing::run(korvelin(arguments), {.standardInput = input});
  }
  std::optional<std::string> config() {
    return platform::readSmallFile(paths_.codexHome() + "/config.toml", 1 << 20);
  }
};

TEST_F(CliYouTrackTest, TheTokenGoesInThroughStandardInputOnly) {
  EXPECT_EQ(youtrack({"token", "status"}).exitCode, 1);
  EXPECT_EQ(youtrack({"token", "set"}, "with\ttab\n").exitCode, 1);
  const auto set = youtrack({"token", "set"}, kToken + "\n");
  EXPECT_EQ(set.exitCode, 0) << set.errors;
  const auto status = youtrack({"token", "status", "--json"});
  EXPECT_EQ(nlohmann::json::parse(status.output)["status"], "configured");
  EXPECT_EQ((set.output + set.errors + status.output).find("dG9rZW4"), std::string::npos);
  EXPECT_EQ(youtrack({"token", "delete"}).exitCode, 0);
  EXPECT_EQ(youtrack({"token", "delete"}).exitCode, 0);
  const auto serve = youtrack({"serve", profile_, "--upstream", "https://127.0.0.1:9/mcp"});
  EXPECT_EQ(serve.exitCode, 1);
  EXPECT_NE(serve.errors.find("not configured"), std::string::npos) << serve.errors;
  EXPECT_EQ(youtrack({"serve", profile_, "--upstream", "http://youtrack.test/mcp"}).exitCode, 2);
}

TEST_F(CliYouTrackTest, CodexInTheProfileListsTheUpstreamsToolsWhileServed) {
  std::string reason;
  const auto python = testing::realMcpPythonPath(reason);
  if (!python)
    GTEST_SKIP() << "MCP SDK unavailable: " << reason;
  const auto codex = testing::realCodexPath(reason);
  if (!codex)
    GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
  testing::McpUpstream upstream(*python, kToken);
  ASSERT_EQ(youtrack({"token", "set"}, kToken + "\n").exitCode, 0);
  testing::Subprocess serve(
      korvelin({"youtrack", "serve", profile_, "--upstream", upstream.url(), "--ca",
                upstream.certificateAuthority(), "--config", "--json"}));
  ASSERT_TRUE(serve.waitForOutput("\"started\"", std::chrono::seconds(30))) << serve.errors();
  // The base is held while the gateway serves: the token stays as it is.
  EXPECT_EQ(youtrack({"token", "delete"}).exitCode, 1);

  // Codex kept off the network except for loopback, where the gateway is.
  const std::string home = paths_.home();
  testing::Subprocess appServer(
      {*codex, "app-server"},
      {.keepStdinOpen = true,
       .environment = std::vector<std::string>{
           "HOME=" + home, "CODEX_HOME=" + paths_.codexHome(), "PATH=/usr/bin:/bin",
           "HTTP_PROXY=http://127.0.0.1:9", "HTTPS_PROXY=http://127.0.0.1:9",
           "ALL_PROXY=http://127.0.0.1:9", "NO_PROXY=127.0.0.1,localhost"}});
  appServer.writeStdin(
      "{\"method\":\"initialize\",\"id\":1,\"params\":{\"clientInfo\":{\"name\":\"korvelin-test\","
      "\"version\":\"1.0\"}}}\n{\"method\":\"initialized\"}\n"
      "{\"method\":\"mcpServerStatus/list\",\"id\":2,\"params\":{}}\n");
  ASSERT_TRUE(appServer.waitForOutput("\"id\":2", std::chrono::seconds(60))) << appServer.errors();
  appServer.closeStdin();
  nlohmann::json listed;
  for (const auto& line : [&] {
         std::vector<std::string> lines;
         std::string text = appServer.output();
         for (std::size_t at; (at = text.find('\n')) != std::string::npos; text.erase(0, at + 1))
           lines.push_back(text.substr(0, at));
         return lines;
       }())
    if (auto message = nlohmann::json::parse(line, nullptr, false); message.value("id", 0) == 2)
      listed = message;
  ASSERT_TRUE(listed.contains("result")) << listed.dump();
  const auto& server = listed["result"]["data"].at(0);
  EXPECT_EQ(server["name"], "korvelin_youtrack");
  EXPECT_TRUE(server["tools"].contains("echo") && server["tools"].contains("find_issues"))
      << server.dump();
  EXPECT_EQ(appServer.output().find("dG9rZW4"), std::string::npos);
  for (const auto& request : upstream.requests())
    EXPECT_EQ(request["headers"]["authorization"], "Bearer " + kToken);

  serve.signal(SIGTERM);
  ASSERT_TRUE(serve.wait(std::chrono::seconds(30)));
  EXPECT_NE(serve.output().find("\"stopped\""), std::string::npos);
  EXPECT_EQ(config().value_or("x"), "");  // the block went with the gateway
  EXPECT_EQ((serve.output() + serve.errors()).find("dG9rZW4"), std::string::npos);
}

}  // namespace
}  // namespace korvelin
