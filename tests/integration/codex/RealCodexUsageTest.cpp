// The usage client against the real `codex app-server`, signed in to a
// stand-in of the Codex backend reached through the profile's http proxy,
// and nothing left running. (What the real server serves is read through
// the host in HostCodexTest; a change after one interval and a home without
// a sign-in through `korvelin usage`, CliCodexTest; a child that goes away
// with the scripted server, CodexUsageClientTest.)

#include <sys/stat.h>

#include <chrono>
#include <string>

#include <gmock/gmock.h>
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

// The backend's host is not a loopback name, so the request goes through the
// profile's http proxy: the stand-in, which sees the absolute-form request.
TEST(RealCodexUsageTest, AnHttpProxyCarriesTheUsageRequest) {
  std::string reason;
  const auto path = testing::realCodexPath(reason);
  if (!path)
    GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
  const auto childrenBefore = testing::childrenOfThisProcess();
  testing::UsageBackendMock backend;
  testing::CodexProfile profile;
  ::mkdir(profile.codexHome().c_str(), 0700);
  testing::signInToUsageBackend(profile.codexHome(), "http://usage.test/backend-api/");
  CodexUsageAppServerClient client(
      profile.paths.baseDirectory(), profile.temp.path(), 5.0,
      [](const CodexInstallation& installation, const std::string&) { return installation; });
  client.hostEnvironment = std::vector<std::string>{"PATH=/usr/bin:/bin"};
  auto stream = client.events(
      testing::codexInstallation(*path), profile.paths,
      ProfileProxyConfiguration(ProfileProxyScheme::http, "127.0.0.1", backend.port()));
  EXPECT_EQ(describe(*stream, 20s, 1), "snapshot:94");
  EXPECT_THAT(backend.requestLines(),
              ::testing::Contains("GET http://usage.test/backend-api/wham/usage HTTP/1.1"));
  stream.reset();  // joins the session, which reaps the child
  EXPECT_EQ(testing::childrenOfThisProcess(), childrenBefore);
}

}  // namespace
}  // namespace korvelin
