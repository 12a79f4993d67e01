// The Chrome and ZCode launch plans: arguments in their fixed order, the
// managed variables laid over the user's, and the refusals.

#include <stdlib.h>

#include <functional>

#include <gtest/gtest.h>

#include "core/apps/ChromeInstallation.h"
#include "core/apps/ZCodeInstallation.h"
#include "core/base/CoreError.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using testing::chromeInstallation;

const ProfilePaths kPaths(*Uuid::parse("6F0F5A44-61A0-4E0B-9C36-1B7A1BB0E0D1"), "/var/base");
const ProfileProxyConfiguration kSocks(ProfileProxyScheme::socks5, "127.0.0.1", 1080);
const std::string kSocksURL = "socks5://127.0.0.1:1080";

CodexInstallation zcodeInstallation() {
  auto installation = chromeInstallation();
  installation.bundleURL = "file:///Applications/ZCode.app/";
  installation.bundleIdentifier = "dev.zcode.app";
  installation.signingTeamIdentifier = "8A5X4JJ39T";
  installation.executableURL = "file:///Applications/ZCode.app/Contents/MacOS/ZCode";
  return installation;
}

ChromeLaunchAdapter chrome(std::optional<std::string> home = "/home/user") {
  return ChromeLaunchAdapter("/var/base", [home] { return home; });
}

TEST(ChromeLaunchPlanTest, FixedArgumentsComeFirstThenProxyThenTheUsers) {
  struct Row {
    std::optional<ProfileProxyConfiguration> proxy;
    std::vector<std::string> user;
    std::vector<std::string> expectedTail;
  };
  const std::string userData = "--user-data-dir=" + kPaths.userData();
  for (const auto& row : std::vector<Row>{
           {std::nullopt, {}, {}},
           {std::nullopt,
            {"--lang=de", "https://example.com"},
            {"--lang=de", "https://example.com"}},
           {kSocks, {}, {"--proxy-server=" + kSocksURL}},
           {kSocks, {"--lang=de"}, {"--proxy-server=" + kSocksURL, "--lang=de"}},
       }) {
    const auto plan =
        chrome().makeLaunchPlan(chromeInstallation(), kPaths, row.proxy, {}, row.user);
    std::vector<std::string> expected{userData, "--password-store=basic", "--use-mock-keychain"};
    expected.insert(expected.end(), row.expectedTail.begin(), row.expectedTail.end());
    EXPECT_EQ(plan.process.arguments, expected);
    const auto& environment = plan.process.environmentOverrides;
    EXPECT_EQ(environment.count("ALL_PROXY"), row.proxy ? 1u : 0u);
    if (row.proxy) {
      for (const char* name : {"HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        EXPECT_EQ(environment.at(name), kSocksURL);
      EXPECT_EQ(environment.at("NO_PROXY"), "localhost,127.0.0.1,::1");
    }
  }
}

TEST(ChromeLaunchPlanTest, HomeIsTheAccountsFromThePasswordDatabaseAndDataStaysInTheProfile) {
  const char* hostHome = std::getenv("HOME");
  const std::string savedHome = hostHome ? hostHome : "";
  ::setenv("HOME", "/not/the/account/home", 1);
  const auto accountHome = ChromeLaunchAdapter::passwordDatabaseHome();
  ASSERT_TRUE(accountHome && !accountHome->empty());
  const auto plan =
      ChromeLaunchAdapter("/var/base")
          .makeLaunchPlan(chromeInstallation(), kPaths, std::nullopt, {{"LANGUAGE", "de"}}, {});
  ::setenv("HOME", savedHome.c_str(), 1);
  const std::map<std::string, std::string> expected{{"HOME", *accountHome},
                                                    {"USERPROFILE", *accountHome},
                                                    {"XDG_CONFIG_HOME", kPaths.config()},
                                                    {"XDG_CACHE_HOME", kPaths.cache()},
                                                    {"LANGUAGE", "de"}};
  EXPECT_EQ(plan.process.environmentOverrides, expected);
  EXPECT_EQ(plan.process.executablePath,
            "/Applications/Google Chrome.app/Contents/MacOS/Google Chrome");
  EXPECT_EQ(plan.process.applicationTerminationIdentity,
            (ApplicationTerminationIdentity{"com.google.Chrome", "/Applications/Google Chrome.app",
                                            plan.process.executablePath}));
  EXPECT_EQ(plan.expectedInstallation, chromeInstallation());
  EXPECT_EQ(plan.process.paths, kPaths);
}

TEST(ZCodeLaunchPlanTest, ConfinesZCodeThroughItsVariables) {
  const auto plan =
      ZCodeLaunchAdapter("/var/base")
          .makeLaunchPlan(zcodeInstallation(), kPaths, std::nullopt, {{"ZCODE_THEME", "dark"}}, {});
  EXPECT_TRUE(plan.process.arguments.empty());
  const std::map<std::string, std::string> expected{
      {"HOME", kPaths.home()},
      {"USERPROFILE", kPaths.home()},
      {"XDG_CONFIG_HOME", kPaths.config()},
      {"XDG_CACHE_HOME", kPaths.cache()},
      {"ZCODE_DATA_BASE_DIR", kPaths.home()},
      {"ZCODE_HOME", kPaths.home() + "/.zcode"},
      {"ZCODE_DESKTOP_HOME_DIR", kPaths.home()},
      {"ZCODE_DESKTOP_USER_DATA_DIR", kPaths.userData()},
      {"ZCODE_DESKTOP_SESSION_DATA_DIR", kPaths.userData() + "/session"},
      {"ZCODE_DESKTOP_USE_ELECTRON_DEFAULT_USER_DATA", "0"},
      {"ZCODE_THEME", "dark"}};
  EXPECT_EQ(plan.process.environmentOverrides, expected);
  EXPECT_EQ(plan.process.executablePath, "/Applications/ZCode.app/Contents/MacOS/ZCode");
}

TEST(ZCodeLaunchPlanTest, TheProxyIsTheFirstArgument) {
  const auto plan = ZCodeLaunchAdapter("/var/base")
                        .makeLaunchPlan(zcodeInstallation(), kPaths, kSocks, {}, {"--lang=de"});
  EXPECT_EQ(plan.process.arguments,
            (std::vector<std::string>{"--proxy-server=" + kSocksURL, "--lang=de"}));
  EXPECT_EQ(plan.process.environmentOverrides.at("HTTPS_PROXY"), kSocksURL);
}

TEST(LaunchPlanTest, Refusals) {
  auto portZero = kSocks;
  portZero.port = 0;
  auto unapproved = chromeInstallation();
  unapproved.compatibilityStatus = CodexCompatibilityStatus::unverifiedVersion;
  auto otherTeam = chromeInstallation();
  otherTeam.signingTeamIdentifier = "8A5X4JJ39T";
  struct Row {
    const char* name;
    Case expected;
    std::string description;
    std::function<void()> call;
  };
  const ZCodeLaunchAdapter zcode("/var/base");
  const auto chromePlan = [](const CodexInstallation& installation,
                             std::optional<std::string> home = "/home/user",
                             std::optional<ProfileProxyConfiguration> proxy = std::nullopt,
                             std::vector<ProfileEnvironmentVariable> variables = {},
                             std::vector<std::string> arguments = {}) {
    chrome(std::move(home)).makeLaunchPlan(installation, kPaths, proxy, variables, arguments);
  };
  const std::string noHome = "Cannot resolve the macOS account home for Chrome.";
  for (const auto& row : std::vector<Row>{
           {"another vendor's record", Case::installationChanged, "",
            [&] { chromePlan(zcodeInstallation()); }},
           {"Chrome's record to ZCode", Case::installationChanged, "",
            [&] { zcode.makeLaunchPlan(chromeInstallation(), kPaths, {}, {}, {}); }},
           {"not launch-approved", Case::installationChanged, "", [&] { chromePlan(unapproved); }},
           {"another team", Case::installationChanged, "", [&] { chromePlan(otherTeam); }},
           {"no account", Case::invalidEnvironmentVariables, noHome,
            [&] { chromePlan(chromeInstallation(), std::nullopt); }},
           {"no home directory", Case::invalidEnvironmentVariables, noHome,
            [&] { chromePlan(chromeInstallation(), ""); }},
           {"relative home", Case::invalidEnvironmentVariables,
            "The macOS account home must be an absolute path.",
            [&] { chromePlan(chromeInstallation(), "home/user"); }},
           {"proxy port 0", Case::invalidProxyConfiguration,
            "Proxy port must be between 1 and 65535.",
            [&] { chromePlan(chromeInstallation(), "/home/user", portZero); }},
           {"ZCode proxy port 0", Case::invalidProxyConfiguration,
            "Proxy port must be between 1 and 65535.",
            [&] { zcode.makeLaunchPlan(zcodeInstallation(), kPaths, portZero, {}, {}); }},
           {"a managed option", Case::invalidLaunchArguments,
            "Profile paths, proxy, process and security options are managed by Korvelin.",
            [&] {
              chromePlan(chromeInstallation(), "/home/user", std::nullopt, {},
                         {" --user-data-dir=/elsewhere"});
            }},
           {"a managed variable", Case::invalidEnvironmentVariables,
            "ZCODE_HOME is managed by Korvelin and cannot be overridden.",
            [&] {
              zcode.makeLaunchPlan(zcodeInstallation(), kPaths, {}, {{"ZCODE_HOME", "/x"}}, {});
            }},
       }) {
    SCOPED_TRACE(row.name);
    const auto description = testing::thrownDescription(row.expected, row.call);
    ASSERT_TRUE(description);
    if (!row.description.empty()) {
      EXPECT_NE(description->find(row.description), std::string::npos) << *description;
    }
  }
}

}  // namespace
}  // namespace korvelin
