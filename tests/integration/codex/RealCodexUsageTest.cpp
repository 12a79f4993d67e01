// The usage client against the real `codex app-server`, signed in to a
// loopback stand-in of the Codex backend: the first snapshot is what the
// captured answer gives, a killed child is a disconnection, a proxy
// variable is honoured, and nothing is left running, killed or stopped.
// (A change after one interval and a home without a sign-in are read
// through `korvelin usage`, tests/integration/cli/CliUsageTest.cpp.)

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "core/codex/CodexUsageAppServerClient.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/CodexProfile.h"
#include "tests/support/CodexUsageSupport.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/RealXray.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::describe;

class RealCodexUsageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    const auto path = testing::realCodexPath(reason);
    if (!path)
      GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
    installation = testing::codexInstallation(*path);
    childrenBefore = testing::childrenOfThisProcess();
    ::mkdir(profile.codexHome().c_str(), 0700);
  }

  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_EQ(testing::childrenOfThisProcess(), childrenBefore);
    }
  }

  // Without an explicit proxy the server would reach for the network: its
  // proxy is a loopback port nothing listens on (the backend stand-in, on
  // 127.0.0.1, is reached directly past it).
  std::unique_ptr<CodexUsageEventStream> start(std::optional<ProfileProxyConfiguration> proxy) {
    CodexUsageAppServerClient client(
        profile.paths.baseDirectory(), profile.temp.path(), 5.0,
        [](const CodexInstallation& installation, const std::string&) { return installation; });
    client.hostEnvironment = std::vector<std::string>{"PATH=/usr/bin:/bin"};
    return client.events(installation, profile.paths, proxy);
  }

  ProfileProxyConfiguration closedProxy() const {
    return ProfileProxyConfiguration(ProfileProxyScheme::http, "127.0.0.1", 9);
  }

  std::set<pid_t> newChildren() const {
    std::set<pid_t> result;
    for (pid_t pid : testing::childrenOfThisProcess())
      if (!childrenBefore.contains(pid))
        result.insert(pid);
    return result;
  }

  testing::UsageBackendMock backend;
  testing::CodexProfile profile;
  CodexInstallation installation;
  std::set<pid_t> childrenBefore;
};

TEST_F(RealCodexUsageTest, ServesTheCapturedAnswerUntilTheChildIsKilled) {
  testing::signInToUsageBackend(
      profile.codexHome(), "http://127.0.0.1:" + std::to_string(backend.port()) + "/backend-api/");
  auto stream = start(closedProxy());

  // The first snapshot is exactly what the captured answer gives.
  const auto first = stream->next(20s);
  ASSERT_TRUE(first && first->snapshot) << testing::describe(*stream, 0ms);
  EXPECT_EQ(*first->snapshot, CodexUsageMessageParser::parseRateLimitsResponse(
                                  testing::kRealAppServerAnswer, first->snapshot->observedAt));

  const auto children = newChildren();
  ASSERT_EQ(children.size(), 1u);
  ::kill(*children.begin(), SIGKILL);
  EXPECT_EQ(describe(*stream, 5s), "disconnected end");
}

// The backend's host is not a loopback name, so the request goes through the
// profile's http proxy: the stand-in, which sees the absolute-form request.
TEST_F(RealCodexUsageTest, AnHttpProxyCarriesTheUsageRequest) {
  testing::signInToUsageBackend(profile.codexHome(), "http://usage.test/backend-api/");
  auto stream =
      start(ProfileProxyConfiguration(ProfileProxyScheme::http, "127.0.0.1", backend.port()));
  EXPECT_EQ(describe(*stream, 20s, 1), "snapshot:94");
  const auto lines = backend.requestLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "GET http://usage.test/backend-api/wham/usage HTTP/1.1"),
            lines.end());
}

}  // namespace
}  // namespace korvelin
