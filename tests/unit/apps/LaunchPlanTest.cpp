// The launch plan of each application: arguments in their fixed order, the
// managed variables laid over the user's and the host's own laid last,
// Claude Code first on Claude's PATH, and the refusals.

#include <stdlib.h>

#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/apps/ChromeInstallation.h"
#include "core/apps/ClaudeInstallation.h"
#include "core/apps/CodexLaunchAdapter.h"
#include "core/apps/ZCodeInstallation.h"
#include "core/files/FilePath.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using Variables = std::map<std::string, std::string>;
using testing::chromeInstallation;
using testing::claudeInstallation;
using ::testing::HasSubstr;

const ProfilePaths kPaths(*Uuid::parse("6F0F5A44-61A0-4E0B-9C36-1B7A1BB0E0D1"), "/var/base");
const ProfileProxyConfiguration kSocks(ProfileProxyScheme::socks5, "127.0.0.1", 1080);
const std::string kSocksURL = "socks5://127.0.0.1:1080";
const std::string kProxy = "--proxy-server=" + kSocksURL;
const Variables kProxyVariables{{"HTTP_PROXY", kSocksURL},
                                {"HTTPS_PROXY", kSocksURL},
                                {"ALL_PROXY", kSocksURL},
                                {"NO_PROXY", "localhost,127.0.0.1,::1"}};
// What the host adds to a Claude run; its HTTP_PROXY overrides the managed one.
const Variables kHost{{"BROWSER", "/opt/shim"},
                      {"CLAUDE_BROWSER_BRIDGE", "{}"},
                      {"HTTP_PROXY", "http://x:1"}};

CodexInstallation zcodeInstallation() {
  auto installation = chromeInstallation();
  installation.bundleURL = "file:///Applications/ZCode.app/";
  installation.bundleIdentifier = "dev.zcode.app";
  installation.signingTeamIdentifier = "8A5X4JJ39T";
  installation.executableURL = "file:///Applications/ZCode.app/Contents/MacOS/ZCode";
  return installation;
}

CodexInstallation codexInstallation(CodexCompatibilityStatus status) {
  auto installation = testing::codexInstallation("/nonexistent/codex");
  installation.compatibilityStatus = status;
  return installation;
}

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
  collaborators.accountHome = [] { return std::optional<std::string>("/home/u"); };
  collaborators.codeInstallation = std::make_shared<FixedClaudeCode>(std::move(claudeCode));
  collaborators.hostPath = std::move(hostPath);
  return ClaudeLaunchAdapter("/var/base", std::move(collaborators));
}

const ChromeLaunchAdapter kChrome("/var/base",
                                  [] { return std::optional<std::string>("/home/u"); });
const ZCodeLaunchAdapter kZCode("/var/base");
const CodexLaunchAdapter kCodex("/var/base", "/var/base");
const ClaudeLaunchAdapter kClaude = claude();

// `variables` with each of `more` set over it.
Variables with(Variables variables, const Variables& more) {
  for (const auto& [name, value] : more)
    variables[name] = value;
  return variables;
}

TEST(LaunchPlanTest, ArgumentsAndVariables) {
  const std::string userData = "--user-data-dir=" + kPaths.userData();
  const std::vector<std::string> chromeFixed{userData, "--password-store=basic",
                                             "--use-mock-keychain"};
  // The user's LANGUAGE, then the homes every plan manages.
  const auto homes = [](const std::string& home) {
    return Variables{{"LANGUAGE", "de"},
                     {"HOME", home},
                     {"USERPROFILE", home},
                     {"XDG_CONFIG_HOME", kPaths.config()},
                     {"XDG_CACHE_HOME", kPaths.cache()}};
  };
  const Variables chrome = homes("/home/u"), ownHome = homes(kPaths.home());
  const Variables claude = with(chrome, {{"CLAUDE_USER_DATA_DIR", kPaths.userData()}});
  const Variables codex = with(
      ownHome, {{"CODEX_HOME", kPaths.home() + "/.codex"}, {"CODEX_SPARKLE_ENABLED", "false"}});
  const Variables zcode =
      with(ownHome, {{"ZCODE_DATA_BASE_DIR", kPaths.home()},
                     {"ZCODE_HOME", kPaths.home() + "/.zcode"},
                     {"ZCODE_DESKTOP_HOME_DIR", kPaths.home()},
                     {"ZCODE_DESKTOP_USER_DATA_DIR", kPaths.userData()},
                     {"ZCODE_DESKTOP_SESSION_DATA_DIR", kPaths.userData() + "/session"},
                     {"ZCODE_DESKTOP_USE_ELECTRON_DEFAULT_USER_DATA", "0"}});
  auto chromeArguments = [&](std::vector<std::string> tail) {
    tail.insert(tail.begin(), chromeFixed.begin(), chromeFixed.end());
    return tail;
  };
  const auto chromeApp = chromeInstallation(), zcodeApp = zcodeInstallation();
  const auto claudeApp = claudeInstallation();
  const auto codexApp = codexInstallation(CodexCompatibilityStatus::locallyVerified);
  struct Row {
    const LaunchAdapter& adapter;
    CodexInstallation installation;
    std::optional<ProfileProxyConfiguration> proxy;
    std::vector<std::string> user;
    std::vector<std::string> arguments;
    Variables variables;
    Variables host = {};
  };
  const std::vector<std::string> x{"x"}, lang{"--lang=de", "x"}, proxied{kProxy, "x"};
  for (const auto& row : std::vector<Row>{
           {kChrome, chromeApp, {}, {}, chromeFixed, chrome},
           {kChrome, chromeApp, {}, lang, chromeArguments(lang), chrome},
           {kChrome, chromeApp, kSocks, x, chromeArguments(proxied), with(chrome, kProxyVariables)},
           {kZCode, zcodeApp, {}, {}, {}, zcode},
           {kZCode, zcodeApp, kSocks, x, proxied, with(zcode, kProxyVariables)},
           {kCodex,
            codexApp,
            kSocks,
            x,
            {userData, "--no-first-run", kProxy, "x"},
            with(codex, kProxyVariables)},
           {kClaude, claudeApp, {}, x, x, claude},
           {kClaude, claudeApp, kSocks, x, proxied, with(with(claude, kProxyVariables), kHost),
            kHost},
       }) {
    SCOPED_TRACE(row.installation.bundleIdentifier);
    AppProfile profile;
    profile.environmentVariables = {{"LANGUAGE", "de"}};
    profile.launchArguments = row.user;
    const auto plan =
        row.adapter.makeLaunchPlan({profile, row.installation, kPaths, row.proxy, row.host});
    EXPECT_EQ(plan.process.arguments, row.arguments);
    EXPECT_EQ(plan.process.environmentOverrides, row.variables);
    EXPECT_EQ(fileURLString(plan.process.executablePath, false), row.installation.executableURL);
    EXPECT_EQ(plan.process.applicationTerminationIdentity,
              (ApplicationTerminationIdentity{row.installation.bundleIdentifier,
                                              *row.installation.bundlePath(),
                                              plan.process.executablePath}));
    EXPECT_EQ(plan.expectedInstallation, row.installation);
  }
}

TEST(LaunchPlanTest, ChromesHomeComesFromThePasswordDatabase) {
  const std::string saved = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", "/not/the/account/home", 1);
  const auto plan = ChromeLaunchAdapter("/var/base")
                        .makeLaunchPlan(chromeInstallation(), kPaths, std::nullopt, {}, {});
  ::setenv("HOME", saved.c_str(), 1);
  const auto account = ChromeLaunchAdapter::passwordDatabaseHome();
  ASSERT_TRUE(account && !account->empty());
  EXPECT_EQ(plan.process.environmentOverrides.at("HOME"), *account);
}

TEST(LaunchPlanTest, ClaudeCodeGoesFirstOnTheBestPath) {
  const std::string tool =
      "/home/u/Library/Application "
      "Support/Claude/claude-code/2.1.10/claude.app/Contents/MacOS/claude";
  const std::string directory = tool.substr(0, tool.size() - 7);
  const struct {
    std::optional<std::string> claudeCode, hostPath;
    Variables host;
    std::optional<std::string> expected;
  } rows[] = {
      {std::nullopt, "/host/bin", {}, std::nullopt},
      {tool, std::nullopt, {}, directory + ":/usr/bin:/bin:/usr/sbin:/sbin"},
      {tool, "/host/bin", {}, directory + ":/host/bin"},
      {tool, "/host/bin", {{"PATH", "/managed/bin"}}, directory + ":/managed/bin"},
  };
  for (const auto& row : rows) {
    const auto plan =
        claude(row.claudeCode, row.hostPath)
            .makeLaunchPlan(claudeInstallation(), kPaths, std::nullopt, {}, {}, row.host);
    const auto& environment = plan.process.environmentOverrides;
    const auto path = environment.find("PATH");
    EXPECT_EQ(path == environment.end() ? std::nullopt : std::optional(path->second), row.expected);
  }
}

TEST(LaunchPlanTest, Refusals) {
  auto portZero = kSocks;
  portZero.port = 0;
  auto unapproved = chromeInstallation();
  unapproved.compatibilityStatus = CodexCompatibilityStatus::unverifiedVersion;
  auto otherTeam = chromeInstallation();
  otherTeam.signingTeamIdentifier = "8A5X4JJ39T";
  auto chrome = [](std::optional<std::string> home,
                   const CodexInstallation& installation = chromeInstallation(),
                   std::optional<ProfileProxyConfiguration> proxy = {},
                   std::vector<std::string> arguments = {}) {
    const ChromeLaunchAdapter adapter("/var/base", [home] { return home; });
    return [=] { adapter.makeLaunchPlan(installation, kPaths, proxy, {}, arguments); };
  };
  auto claudePlan = [](const CodexInstallation& installation, Variables host = {}) {
    return [=] { kClaude.makeLaunchPlan(installation, kPaths, std::nullopt, {}, {}, host); };
  };
  auto codex = [](CodexCompatibilityStatus status, std::vector<ProfileEnvironmentVariable> user) {
    return [=] { kCodex.makeLaunchPlan(codexInstallation(status), kPaths, {}, user, {}); };
  };
  const auto changed = Case::installationChanged, badVariable = Case::invalidEnvironmentVariables;
  const auto noHome = HasSubstr("Cannot resolve the macOS account home for Chrome.");
  const std::string invalidValue = "Managed environment contains an invalid value for ";
  const auto any = ::testing::_;
  const auto claudeApp = claudeInstallation();
  struct Row {
    Case expected;
    ::testing::Matcher<const std::string&> description;
    std::function<void()> call;
  };
  for (const auto& row : std::vector<Row>{
           {changed, any, chrome("/h", zcodeInstallation())},
           {changed, any, chrome("/h", unapproved)},
           {changed, any, chrome("/h", otherTeam)},
           {changed, any, [] { kZCode.makeLaunchPlan(chromeInstallation(), kPaths, {}, {}, {}); }},
           {changed, any, claudePlan(chromeInstallation())},
           {badVariable, noHome, chrome(std::nullopt)},
           {badVariable, noHome, chrome("")},
           {badVariable, HasSubstr("The macOS account home must be an absolute path."),
            chrome("home/u")},
           {Case::invalidProxyConfiguration, HasSubstr("Proxy port must be between 1 and 65535."),
            chrome("/h", chromeInstallation(), portZero)},
           {Case::invalidLaunchArguments, HasSubstr("options are managed by Korvelin"),
            chrome("/h", chromeInstallation(), {}, {" --user-data-dir=/elsewhere"})},
           {badVariable, HasSubstr("ZCODE_HOME is managed by Korvelin"),
            [] {
              kZCode.makeLaunchPlan(zcodeInstallation(), kPaths, {}, {{"ZCODE_HOME", "/x"}}, {});
            }},
           {badVariable, invalidValue + "1X.", claudePlan(claudeApp, {{"1X", "v"}})},
           {badVariable, invalidValue + "X.",
            claudePlan(claudeApp, {{"X", std::string("a\0b", 3)}})},
           {Case::unverifiedVersion, "Codex version 26.903.61454 (8378) is not verified.",
            codex(CodexCompatibilityStatus::unverifiedVersion, {})},
           // The profile's own CODEX_HOME is managed: never taken from the user.
           {badVariable, any,
            codex(CodexCompatibilityStatus::verified, {{"CODEX_HOME", "/elsewhere"}})},
       }) {
    const auto description = testing::thrownDescription(row.expected, row.call);
    ASSERT_TRUE(description) << ::testing::PrintToString(row.expected);
    EXPECT_THAT(*description, row.description);
  }
}

}  // namespace
}  // namespace korvelin
