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

// What the launched processes carry with a proxy is read back from /proc in
// CodexLaunchTest; here, the user's own arguments and variables around it.
TEST(CodexPlanTest, PutsItsOwnArgumentsFirstAndRefusesAnUncheckedVersion) {
  const CodexLaunchAdapter adapter("/base", "/base");
  const ProfilePaths paths(*Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF"), "/base");
  const std::string root = "/base/Profiles/6f9619ff-8b86-d011-b42d-00c04fc964ff";
  const auto plan = adapter.makeLaunchPlan(
      codex(CodexCompatibilityStatus::locallyVerified), paths,
      ProfileProxyConfiguration(ProfileProxyScheme::http, "127.0.0.1", 8080),
      {{"LANG", "ru_RU.UTF-8"}}, {"--enable-logging", "https://example.org/"});
  EXPECT_EQ(plan.process.arguments,
            (std::vector<std::string>{"--user-data-dir=" + root + "/user-data", "--no-first-run",
                                      "--proxy-server=http://127.0.0.1:8080", "--enable-logging",
                                      "https://example.org/"}));
  EXPECT_EQ(plan.process.environmentOverrides.at("LANG"), "ru_RU.UTF-8");
  EXPECT_EQ(plan.process.environmentOverrides.at("CODEX_HOME"), root + "/home/.codex");

  EXPECT_EQ(testing::thrownDescription(Case::unverifiedVersion,
                                       [&] {
                                         adapter.makeLaunchPlan(
                                             codex(CodexCompatibilityStatus::unverifiedVersion),
                                             paths, std::nullopt, {}, {});
                                       }),
            "Codex version 26.903.61454 (8379) is not verified.");
  // The profile's own CODEX_HOME is managed: never taken from the user.
  EXPECT_TRUE(testing::thrownDescription(Case::invalidEnvironmentVariables, [&] {
    adapter.makeLaunchPlan(codex(CodexCompatibilityStatus::verified), paths, std::nullopt,
                           {{"CODEX_HOME", "/elsewhere"}}, {});
  }));
}

}  // namespace
}  // namespace korvelin
