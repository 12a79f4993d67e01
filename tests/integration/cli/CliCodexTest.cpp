// korvelin usage, youtrack and codex-mcp with the real `codex app-server`
// where one is needed: usage read as text, JSON and a watch; the YouTrack
// token, which goes in through standard input only, and a gateway that gives
// Codex in the profile the upstream's tools; the MCP block whose capability
// travels only through standard input. No secret ever comes back out.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/platform/FileUtil.h"
#include "tests/support/CodexUsageSupport.h"
#include "tests/support/McpPeers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/RealXray.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::outputOf;
using testing::run;

const std::string kToken = "perm:cli.dG9rZW4=.secret";
constexpr const char* kCapability = "secret-capability-0123456789";

class CliCodexTest : public testing::ProfileCliTest {
 protected:
  testing::RunResult youtrack(std::vector<std::string> arguments, const std::string& input = "") {
    arguments.insert(arguments.begin(), "youtrack");
    return run(korvelin(arguments), {.standardInput = input});
  }
  std::optional<std::string> config() {
    return platform::readSmallFile(paths_.codexHome() + "/config.toml", 1 << 20);
  }
  nlohmann::json mcpStatus() {
    return nlohmann::json::parse(
        outputOf(run(korvelin({"codex-mcp", "status", profile_, "--json"}))));
  }
};

// Without a sign-in, usage is unavailable; signed in, one reading as text
// and as JSON with the menu text, then a watch that prints a reset of the
// 5-hour window and ends cleanly on SIGINT; a record whose backend is no
// longer the file it names starts nothing.
TEST_F(CliCodexTest, UsageReadingsAWatchAndUnavailableUsage) {
  std::string reason;
  const auto codex = testing::realCodexPath(reason);
  if (!codex)
    GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
  const std::string record = dir_.child("installation.json");
  std::ofstream(record) << nlohmann::json(testing::codexInstallation(*codex)).dump();
  outputOf(run(korvelin({"profile", "create", "Work", "--installation", record, "--id", profile_,
                         "--proxy", "http://127.0.0.1:9"})));
  ::mkdir(paths_.codexHome().c_str(), 0700);
  auto usage = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"usage", "Work", "--installation", record});
    return korvelin(arguments);
  };
  const auto unsigned_ = run(usage({}));
  EXPECT_EQ(unsigned_.exitCode, 1);
  EXPECT_THAT(unsigned_.output, HasSubstr("usage unavailable: authenticationRequired"));

  testing::UsageBackendMock backend;
  testing::signInToUsageBackend(
      paths_.codexHome(), "http://127.0.0.1:" + std::to_string(backend.port()) + "/backend-api/");
  const auto text = outputOf(run(usage({"--menu", "two"})));
  EXPECT_THAT(text, HasSubstr("Work: 94% remaining"));
  EXPECT_THAT(text, HasSubstr("codex: 7d window, 76% remaining, resets "));
  EXPECT_THAT(text, HasSubstr("menu: Wo 94%"));
  const auto line = nlohmann::json::parse(outputOf(run(usage({"--json", "--menu", "full"}))));
  EXPECT_EQ(line["event"], "snapshot");
  EXPECT_EQ(line["menu"], "Work 94%");
  EXPECT_EQ(line["snapshot"]["remainingPercent"], 94);

  backend.setUsedPercent(80, 24);
  testing::Subprocess watch(usage({"--watch", "--interval", "5", "--json"}));
  ASSERT_TRUE(watch.waitForOutput("\"remainingPercent\":20", 20s)) << watch.errors();
  backend.setUsedPercent(1, 24);
  ASSERT_TRUE(watch.waitForOutput("\"event\":\"reset\"", 10s)) << watch.output();
  EXPECT_THAT(watch.output(),
              HasSubstr(R"("event":"reset","remainingPercent":99,"windowDurationMins":300})"));
  watch.signal(SIGINT);
  const auto status = watch.wait(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << watch.errors();

  auto stale = nlohmann::json::parse(std::ifstream(record));
  stale["backendIdentity"]["size"] = 1;
  std::ofstream(record) << stale.dump();
  const auto changed = run(usage({}));
  EXPECT_EQ(changed.exitCode, 1);
  EXPECT_THAT(changed.output, HasSubstr("usage unavailable: connectionFailed"));
}

// The token goes in through standard input only; then, with the peers, a
// real Codex app-server in the profile lists the upstream's tools through
// `serve --config` for as long as it runs.
TEST_F(CliCodexTest, TheYouTrackTokenAndTheGatewayCodexSees) {
  EXPECT_EQ(youtrack({"token", "status"}).exitCode, 1);
  EXPECT_EQ(youtrack({"token", "set"}, "with\ttab\n").exitCode, 1);
  const auto set = youtrack({"token", "set"}, kToken + "\n");
  EXPECT_EQ(set.exitCode, 0) << set.errors;
  const auto status = youtrack({"token", "status", "--json"});
  EXPECT_EQ(nlohmann::json::parse(status.output)["status"], "configured");
  EXPECT_THAT(set.output + set.errors + status.output, Not(HasSubstr("dG9rZW4")));
  EXPECT_EQ(youtrack({"token", "delete"}).exitCode, 0);
  EXPECT_EQ(youtrack({"token", "delete"}).exitCode, 0);
  const auto serve = youtrack({"serve", profile_, "--upstream", "https://127.0.0.1:9/mcp"});
  EXPECT_EQ(serve.exitCode, 1);
  EXPECT_THAT(serve.errors, HasSubstr("not configured"));
  EXPECT_EQ(youtrack({"serve", profile_, "--upstream", "http://youtrack.test/mcp"}).exitCode, 2);

  std::string reason;
  const auto python = testing::realMcpPythonPath(reason);
  if (!python)
    GTEST_SKIP() << "MCP SDK unavailable: " << reason;
  const auto codex = testing::realCodexPath(reason);
  if (!codex)
    GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
  testing::McpUpstream upstream(*python, kToken);
  ASSERT_EQ(youtrack({"token", "set"}, kToken + "\n").exitCode, 0);
  testing::Subprocess gateway(
      korvelin({"youtrack", "serve", profile_, "--upstream", upstream.url(), "--ca",
                upstream.certificateAuthority(), "--config", "--json"}));
  ASSERT_TRUE(gateway.waitForOutput("\"started\"", 30s)) << gateway.errors();
  // The base is held while the gateway serves: the token stays as it is.
  EXPECT_EQ(youtrack({"token", "delete"}).exitCode, 1);

  // Codex kept off the network except for loopback, where the gateway is.
  testing::Subprocess appServer(
      {*codex, "app-server"},
      {.keepStdinOpen = true,
       .environment = std::vector<std::string>{
           "HOME=" + paths_.home(), "CODEX_HOME=" + paths_.codexHome(), "PATH=/usr/bin:/bin",
           "HTTP_PROXY=http://127.0.0.1:9", "HTTPS_PROXY=http://127.0.0.1:9",
           "ALL_PROXY=http://127.0.0.1:9", "NO_PROXY=127.0.0.1,localhost"}});
  appServer.writeStdin(
      "{\"method\":\"initialize\",\"id\":1,\"params\":{\"clientInfo\":{\"name\":\"korvelin-test\","
      "\"version\":\"1.0\"}}}\n{\"method\":\"initialized\"}\n"
      "{\"method\":\"mcpServerStatus/list\",\"id\":2,\"params\":{}}\n");
  ASSERT_TRUE(appServer.waitForOutput("\"id\":2", 60s)) << appServer.errors();
  appServer.closeStdin();
  nlohmann::json listed;
  for (const auto& message : testing::jsonLines(appServer.output()))
    if (message.value("id", 0) == 2)
      listed = message;
  ASSERT_TRUE(listed.contains("result")) << listed.dump();
  const auto& server = listed["result"]["data"].at(0);
  EXPECT_EQ(server["name"], "korvelin_youtrack");
  EXPECT_TRUE(server["tools"].contains("echo") && server["tools"].contains("find_issues"))
      << server.dump();
  EXPECT_THAT(appServer.output(), Not(HasSubstr("dG9rZW4")));
  for (const auto& request : upstream.requests())
    EXPECT_EQ(request["headers"]["authorization"], "Bearer " + kToken);

  gateway.signal(SIGTERM);
  ASSERT_TRUE(gateway.wait(30s));
  EXPECT_THAT(gateway.output(), HasSubstr("\"stopped\""));
  EXPECT_EQ(config().value_or("x"), "");  // the block went with the gateway
  EXPECT_THAT(gateway.output() + gateway.errors(), Not(HasSubstr("dG9rZW4")));
}

// codex-mcp: the capability travels only through standard input and never
// comes back out; the generation install prints is what remove takes.
TEST_F(CliCodexTest, McpBlockKeepsTheCapabilityOffTheScreen) {
  const auto installed = run(korvelin({"codex-mcp", "install", profile_, "--port", "47123",
                                       "--capability", "-", "--json"}),
                             {.standardInput = std::string(kCapability) + "\n"});
  const auto generation =
      nlohmann::json::parse(outputOf(installed)).at("generation").get<std::string>();
  EXPECT_THAT(config().value_or(""), HasSubstr(kCapability));

  auto seen = mcpStatus();
  EXPECT_EQ(seen["block"]["generation"], generation);
  EXPECT_EQ(seen["block"]["port"], 47123);
  const auto text = run(korvelin({"codex-mcp", "status", profile_}));
  for (const auto& output :
       {installed.output + installed.errors, seen.dump(), text.output + text.errors})
    EXPECT_THAT(output, Not(HasSubstr(kCapability)));

  const auto wrong = Uuid::random().uppercaseString();
  EXPECT_EQ(run(korvelin({"codex-mcp", "remove", profile_, "--generation", wrong})).exitCode, 1);
  outputOf(run(korvelin({"codex-mcp", "remove", profile_, "--generation", generation})));
  EXPECT_TRUE(mcpStatus()["block"].is_null());
  const auto typed = run(
      korvelin({"codex-mcp", "install", profile_, "--port", "47123", "--capability", kCapability}));
  EXPECT_EQ(typed.exitCode, 2);
}

}  // namespace
}  // namespace korvelin
