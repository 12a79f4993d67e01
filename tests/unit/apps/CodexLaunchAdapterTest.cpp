#include "core/apps/CodexLaunchAdapter.h"

#include <gtest/gtest.h>

#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;

CodexInstallation codex(CodexCompatibilityStatus status) {
  CodexInstallation installation;
  installation.bundleURL = "file:///Apps/ChatGPT.app/";
  installation.executableURL = "file:///Apps/ChatGPT.app/Contents/MacOS/ChatGPT";
  installation.bundleIdentifier = "com.openai.codex";
  installation.marketingVersion = "26.903.61454";
  installation.buildVersion = "8379";
  installation.signingTeamIdentifier = "2DC432GLL2";
  installation.compatibilityStatus = status;
  return installation;
}

struct CodexPlanTest : ::testing::Test {
  CodexLaunchAdapter adapter{"/home/u/.local/share/Korvelin", "/home/u/.local/share/Korvelin"};
  ProfilePaths paths{*Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF"), "/base"};
};

TEST_F(CodexPlanTest, ConfinesEveryHomeAndPutsItsOwnArgumentsFirst) {
  const auto plan = adapter.makeLaunchPlan(
      codex(CodexCompatibilityStatus::locallyVerified), paths,
      ProfileProxyConfiguration(ProfileProxyScheme::socks5, "127.0.0.1", 1080),
      {{"LANG", "ru_RU.UTF-8"}}, {"--enable-logging", "https://example.org/"});
  const std::string root = "/base/Profiles/6f9619ff-8b86-d011-b42d-00c04fc964ff";
  const std::string proxy = "socks5://127.0.0.1:1080";
  EXPECT_EQ(plan.process.arguments,
            (std::vector<std::string>{"--user-data-dir=" + root + "/user-data", "--no-first-run",
                                      "--proxy-server=" + proxy, "--enable-logging",
                                      "https://example.org/"}));
  EXPECT_EQ(plan.process.environmentOverrides,
            (std::map<std::string, std::string>{{"ALL_PROXY", proxy},
                                                {"CODEX_HOME", root + "/home/.codex"},
                                                {"CODEX_SPARKLE_ENABLED", "false"},
                                                {"HOME", root + "/home"},
                                                {"HTTPS_PROXY", proxy},
                                                {"HTTP_PROXY", proxy},
                                                {"LANG", "ru_RU.UTF-8"},
                                                {"NO_PROXY", "localhost,127.0.0.1,::1"},
                                                {"USERPROFILE", root + "/home"},
                                                {"XDG_CACHE_HOME", root + "/cache"},
                                                {"XDG_CONFIG_HOME", root + "/config"}}));
  EXPECT_EQ(plan.process.executablePath, "/Apps/ChatGPT.app/Contents/MacOS/ChatGPT");
  EXPECT_EQ(plan.process.applicationTerminationIdentity,
            (ApplicationTerminationIdentity{"com.openai.codex", "/Apps/ChatGPT.app",
                                            "/Apps/ChatGPT.app/Contents/MacOS/ChatGPT"}));
  EXPECT_EQ(plan.expectedInstallation.compatibilityStatus,
            CodexCompatibilityStatus::locallyVerified);
}

TEST_F(CodexPlanTest, RefusesWhatWouldLeaveTheProfileOrRunAnUncheckedVersion) {
  auto portZero = ProfileProxyConfiguration(ProfileProxyScheme::http, "127.0.0.1", 8080);
  portZero.port = 0;
  auto otherTeam = codex(CodexCompatibilityStatus::verified);
  otherTeam.signingTeamIdentifier = "EQHXZ8M8AV";
  struct Refusal {
    const char* name;
    CodexInstallation installation;
    std::optional<ProfileProxyConfiguration> proxy;
    std::vector<ProfileEnvironmentVariable> variables;
    std::vector<std::string> arguments;
    Case expected;
    std::string description;
  };
  const std::vector<Refusal> refusals = {
      {"unverified version",
       codex(CodexCompatibilityStatus::unverifiedVersion),
       {},
       {},
       {},
       Case::unverifiedVersion,
       "Codex version 26.903.61454 (8379) is not verified."},
      {"another team", otherTeam, {}, {}, {}, Case::installationChanged, ""},
      {"proxy port 0",
       codex(CodexCompatibilityStatus::verified),
       portZero,
       {},
       {},
       Case::invalidProxyConfiguration,
       "Proxy port must be between 1 and 65535."},
      // The profile's own CODEX_HOME is managed: never taken from the user.
      {"CODEX_HOME variable",
       codex(CodexCompatibilityStatus::verified),
       {},
       {{"CODEX_HOME", "/elsewhere"}},
       {},
       Case::invalidEnvironmentVariables,
       ""},
      {"user-data argument",
       codex(CodexCompatibilityStatus::verified),
       {},
       {},
       {" --user-data-dir=/elsewhere"},
       Case::invalidLaunchArguments,
       ""},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.name);
    const auto description = testing::thrownDescription(r.expected, [&] {
      adapter.makeLaunchPlan(r.installation, paths, r.proxy, r.variables, r.arguments);
    });
    ASSERT_TRUE(description);
    if (!r.description.empty()) {
      EXPECT_EQ(*description, r.description);
    }
  }
}

}  // namespace
}  // namespace korvelin
