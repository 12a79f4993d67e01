// The usage client against a scripted app-server that does what the real
// one never does: lines split across reads, ids written as 2.0,
// notifications before the first answer, a flood without a line feed, no
// answer at all, an exit, a closed standard input, a SIGTERM ignored. Every
// session must end with the right closing event and leave no child behind.

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/codex/CodexUsageAppServerClient.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/CodexProfile.h"
#include "tests/support/CodexUsageSupport.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/ServicesSupport.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::codexInstallation;
using testing::describe;

const std::string kFake = std::string(KORVELIN_TEST_PROGRAMS_DIR) + "/fake-app-server";

class CodexUsageClientTest : public ::testing::Test {
 public:
  void SetUp() override {
    childrenBefore = testing::childrenOfThisProcess();
    ::mkdir(profile.codexHome().c_str(), 0700);
  }
  void TearDown() override {
    // Every session reaped its child: nothing running, no zombie.
    EXPECT_EQ(testing::childrenOfThisProcess(), childrenBefore);
  }

  // The scripted server's file `name`, a line feed added to lines it holds.
  void script(const std::string& name, const std::string& content) {
    std::ofstream(profile.codexHome() + "/" + name) << content << (content.empty() ? "" : "\n");
  }
  std::vector<std::string> scriptOutput(const std::string& name) {
    return testing::linesOf(testing::readText(profile.codexHome() + "/" + name));
  }

  std::unique_ptr<CodexUsageEventStream> start(double interval = 5.0) {
    CodexUsageAppServerClient client(
        profile.paths.baseDirectory(), profile.temp.path(), interval,
        [this](const CodexInstallation&, const std::string&) { return inspected; });
    client.hostEnvironment = std::vector<std::string>{
        "PATH=/usr/bin:/bin", "LANG=C.UTF-8", "HTTP_PROXY=http://127.0.0.1:9", "FOO=bar",
        "SHELL=/bin/sh",      "NO_PROXY=*"};
    return client.events(installation, profile.paths, std::nullopt);
  }

  std::set<pid_t> childrenBefore;
  testing::CodexProfile profile;
  CodexInstallation installation = codexInstallation(kFake);
  CodexInstallation inspected = installation;
};

// Scripts that end, or go quiet, within a second; what the stream yields
// until then, one word an event, with "end" when the stream ended.
TEST_F(CodexUsageClientTest, ScriptedConversations) {
  const auto reply = [](const std::string& rest) { return R"({"id":$ID,)" + rest + "}"; };
  const std::string answer30 = reply(R"("result":{"rateLimits":{"primary":{"usedPercent":30}}})");
  const auto updated = [](int used) {
    return R"({"method":"account/rateLimits/updated","params":{"rateLimits":{"primary":{"usedPercent":)" +
           std::to_string(used) + "}}}}";
  };
  const std::string invalid = "unavailable:invalidResponse";
  const std::string unsupported = "unavailable:unsupportedProtocol";
  const struct {
    const char* name;
    std::string preamble;  // lines, each written with its line feed
    std::string reply;
    std::string behaviour;
    std::string expected;
  } cases[] = {
      {"notifications before the first answer are ignored; a split line and id 2.0",
       updated(99) + "\n{\"method\":\"configWarning\",\"params\":{}}\n",
       R"({"id":$ID.0,"result":{"rateLi<PAUSE>mits":{"primary":{"usedPercent":30}}}})"
       "\n\n" +
           updated(35),
       "", "snapshot:70 snapshot:65"},
      {"ids true and 2.5 match nothing", "{\"id\":true,\"result\":{}}\n{\"id\":2.5,\"result\":{}}",
       answer30, "", "snapshot:70"},
      {"a stale id and a bad line", "", "{\"id\":1,\"result\":{}}\nnot json\n[1]\n" + answer30, "",
       invalid + " " + invalid + " snapshot:70"},
      {"an answer the parser refuses", "",
       reply(R"("result":{"rateLimits":{"primary":{"usedPercent":101}}})"), "", invalid},
      {"authentication required", "",
       R"({"error":{"code":-32600,"message":"codex account authentication required to read rate limits"},"id":$ID})",
       "", "unavailable:authenticationRequired"},
      {"the phrase in capitals", "", R"({"error":{"message":"Authentication Required"},"id":$ID})",
       "", unsupported},
      {"an error without a message", "", R"({"error":{"code":1},"id":$ID})", "", unsupported},
      {"an error that is not an object is an answer", "",
       R"({"error":"x","id":$ID,"result":{"rateLimits":{"primary":{"usedPercent":30}}}})", "",
       "snapshot:70"},
      {"1 MiB and one byte without a line feed", "", "", "flood", invalid + " end"},
      {"the child exits after answering", "", answer30, "exit-after-reply",
       "snapshot:70 disconnected end"},
      {"a server that never answers", "", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script("preamble", c.preamble);
    script("reply", c.reply);  // empty: never answered
    script("behaviour", c.behaviour);
    auto stream = start();
    EXPECT_EQ(describe(*stream, 1000ms), c.expected);
  }
  // The child saw nothing of the host's environment but the few variables
  // it may inherit, and no proxy variable without a proxy.
  const auto& paths = profile.paths;
  const auto seen = scriptOutput("environment");
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()),
            (std::set<std::string>{
                "PATH=/usr/bin:/bin", "LANG=C.UTF-8", "SHELL=/bin/sh", "HOME=" + paths.home(),
                "USERPROFILE=" + paths.home(), "XDG_CONFIG_HOME=" + paths.config(),
                "XDG_CACHE_HOME=" + paths.cache(), "CODEX_HOME=" + paths.codexHome()}));
}

// Whatever fails before the child runs is one `connectionFailed`, then the
// end. Last, the conversation's lines and ids, the timer's next read once the
// first is answered, and a timed read that cannot be written: a disconnection.
TEST_F(CodexUsageClientTest, FailedStartsThenPollsEveryIntervalWithOneReadOutstanding) {
  script("reply", R"({"id":$ID,"result":{"rateLimits":{"primary":{"usedPercent":30}}}})");
  const struct {
    const char* name;
    double interval;
    std::function<void(CodexUsageClientTest&)> change;
  } cases[] = {
      {"interval 4.9", 4.9, [](auto&) {}},
      {"the bundle changed", 5.0, [](auto& t) { t.inspected.codeDirectoryHash = "00"; }},
      {"not approved for launching", 5.0,
       [](auto& t) {
         t.installation.compatibilityStatus = CodexCompatibilityStatus::unverifiedVersion;
         t.inspected = t.installation;
       }},
      {"no backend", 5.0,
       [](auto& t) { t.inspected = t.installation = codexInstallation(kFake + "-missing"); }},
      {"an unsafe profile tree", 5.0,
       [](auto& t) { ::chmod(t.profile.paths.cache().c_str(), 0755); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    installation = inspected = codexInstallation(kFake);
    ::chmod(profile.paths.cache().c_str(), 0700);
    c.change(*this);
    EXPECT_EQ(describe(*start(c.interval), 1500ms), "unavailable:connectionFailed end");
  }
  ::chmod(profile.paths.cache().c_str(), 0700);
  installation = inspected = codexInstallation(kFake);

  script("behaviour", "close-input-after-second-reply");
  EXPECT_EQ(describe(*start(), 20s), "snapshot:70 snapshot:70 disconnected end");
  std::vector<nlohmann::json> received;
  for (const auto& line : scriptOutput("received"))
    received.push_back(nlohmann::json::parse(line));
  const std::vector<nlohmann::json> expected = {
      {{"method", "initialize"},
       {"id", 1},
       {"params",
        {{"clientInfo", {{"name", "korvelin"}, {"title", "Korvelin"}, {"version", "0.1.0"}}}}}},
      {{"method", "initialized"}, {"params", nlohmann::json::object()}},
      {{"method", "account/rateLimits/read"}, {"id", 2}},
      {{"method", "account/rateLimits/read"}, {"id", 3}},
  };
  EXPECT_EQ(received, expected);
}

// Stopping a child that ignores SIGTERM still leaves nothing behind.
TEST_F(CodexUsageClientTest, StopReapsAChildThatIgnoresTermination) {
  script("behaviour", "ignore-term");
  auto stream = start();
  EXPECT_EQ(describe(*stream, 300ms), "");
  stream->stop();
  EXPECT_EQ(describe(*stream, 5s), "end");
  stream.reset();  // joins the session, which reaps the child
}

}  // namespace
}  // namespace korvelin
