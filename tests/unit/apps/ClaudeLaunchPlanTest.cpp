// The Claude desktop plan: the managed variables over the user's, then the
// proxy, then the host's own variables, then Claude Code on PATH.

#include <gtest/gtest.h>

#include "core/apps/ClaudeInstallation.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using testing::claudeInstallation;
using testing::thrownDescription;

const ProfilePaths kPaths(*Uuid::parse("6F0F5A44-61A0-4E0B-9C36-1B7A1BB0E0D1"), "/var/base");

// Claude Code found (or not) without looking at any disk.
class FixedClaudeCode final : public ClaudeCodeInstallation {
 public:
  explicit FixedClaudeCode(std::optional<std::string> found) : found_(std::move(found)) {}
  std::optional<std::string> executable(std::string_view) const override { return found_; }

 private:
  std::optional<std::string> found_;
};

ClaudeLaunchAdapter claude(std::optional<std::string> claudeCode = std::nullopt,
                           std::optional<std::string> hostPath = std::nullopt) {
  ClaudeLaunchAdapter::Collaborators collaborators;
  collaborators.accountHome = [] { return std::optional<std::string>("/home/user"); };
  collaborators.codeInstallation = std::make_shared<FixedClaudeCode>(std::move(claudeCode));
  collaborators.hostPath = std::move(hostPath);
  return ClaudeLaunchAdapter("/var/base", std::move(collaborators));
}

TEST(ClaudeLaunchPlanTest, ManagedVariablesWinInTheirOrder) {
  const ProfileProxyConfiguration socks(ProfileProxyScheme::socks5, "127.0.0.1", 1080);
  const auto plan = claude().makeLaunchPlan(
      claudeInstallation(), kPaths, socks, {{"LANG", "de_DE.UTF-8"}}, {"--lang=de"},
      {{"BROWSER", "/opt/shim"}, {"CLAUDE_BROWSER_BRIDGE", "{}"}, {"HTTP_PROXY", "http://x:1"}});
  EXPECT_EQ(plan.process.executablePath, "/Applications/Claude.app/Contents/MacOS/Claude");
  EXPECT_EQ(plan.process.arguments,
            (std::vector<std::string>{"--proxy-server=socks5://127.0.0.1:1080", "--lang=de"}));
  EXPECT_EQ(plan.process.environmentOverrides,
            (std::map<std::string, std::string>{
                {"HOME", "/home/user"},
                {"USERPROFILE", "/home/user"},
                {"XDG_CONFIG_HOME", kPaths.config()},
                {"XDG_CACHE_HOME", kPaths.cache()},
                {"CLAUDE_USER_DATA_DIR", kPaths.userData()},
                {"LANG", "de_DE.UTF-8"},
                {"HTTP_PROXY", "http://x:1"},  // the host's own variables come last
                {"HTTPS_PROXY", "socks5://127.0.0.1:1080"},
                {"ALL_PROXY", "socks5://127.0.0.1:1080"},
                {"NO_PROXY", "localhost,127.0.0.1,::1"},
                {"BROWSER", "/opt/shim"},
                {"CLAUDE_BROWSER_BRIDGE", "{}"}}));
  EXPECT_EQ(plan.process.applicationTerminationIdentity->bundleIdentifier,
            "com.anthropic.claudefordesktop");
}

TEST(ClaudeLaunchPlanTest, ClaudeCodeGoesFirstOnTheBestPath) {
  struct Row {
    std::optional<std::string> claudeCode;
    std::optional<std::string> hostPath;
    std::map<std::string, std::string> managed;
    std::optional<std::string> expected;
  };
  const std::string tool =
      "/home/user/Library/Application Support/Claude/claude-code/2.1.10/"
      "claude.app/Contents/MacOS/claude";
  const std::string toolDirectory = tool.substr(0, tool.size() - 7);
  for (const auto& row : std::vector<Row>{
           {std::nullopt, "/host/bin", {}, std::nullopt},
           {tool, std::nullopt, {}, toolDirectory + ":/usr/bin:/bin:/usr/sbin:/sbin"},
           {tool, "/host/bin", {}, toolDirectory + ":/host/bin"},
           {tool, "/host/bin", {{"PATH", "/managed/bin"}}, toolDirectory + ":/managed/bin"},
       }) {
    const auto plan =
        claude(row.claudeCode, row.hostPath)
            .makeLaunchPlan(claudeInstallation(), kPaths, std::nullopt, {}, {}, row.managed);
    const auto& environment = plan.process.environmentOverrides;
    const auto path = environment.find("PATH");
    EXPECT_EQ(path == environment.end() ? std::nullopt : std::optional(path->second), row.expected);
  }
}

TEST(ClaudeLaunchPlanTest, Refusals) {
  using Case = KorvelinCoreError::Case;
  auto chrome = testing::chromeInstallation();
  auto unapproved = claudeInstallation();
  unapproved.compatibilityStatus = CodexCompatibilityStatus::unverifiedVersion;
  const std::vector<std::tuple<std::string, CodexInstallation, std::map<std::string, std::string>,
                               Case, std::string>>
      rows = {
          {"another vendor", chrome, {}, Case::installationChanged, ""},
          {"not approved", unapproved, {}, Case::installationChanged, ""},
          {"name starting with a digit",
           claudeInstallation(),
           {{"1X", "v"}},
           Case::invalidEnvironmentVariables,
           "Managed environment contains an invalid value for 1X."},
          {"NUL in a value",
           claudeInstallation(),
           {{"X", std::string("a\0b", 3)}},
           Case::invalidEnvironmentVariables,
           "Managed environment contains an invalid value for X."},
      };
  for (const auto& [name, installation, managed, expectedCase, text] : rows) {
    const auto description = thrownDescription(expectedCase, [&] {
      claude().makeLaunchPlan(installation, kPaths, std::nullopt, {}, {}, managed);
    });
    ASSERT_TRUE(description) << name;
    if (!text.empty()) {
      EXPECT_EQ(*description, text) << name;
    }
  }
}

}  // namespace
}  // namespace korvelin
