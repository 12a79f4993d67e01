// The Chrome and ZCode launch plans: arguments in their fixed order, the
// managed variables laid over the user's, and the refusals.

#include <stdlib.h>

#include <functional>

#include <gtest/gtest.h>

#include "core/apps/ChromeInstallation.h"
#include "core/apps/ZCodeInstallation.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using Variables = std::map<std::string, std::string>;
using testing::chromeInstallation;

const ProfilePaths kPaths(*Uuid::parse("6F0F5A44-61A0-4E0B-9C36-1B7A1BB0E0D1"), "/var/base");
const ProfileProxyConfiguration kSocks(ProfileProxyScheme::socks5, "127.0.0.1", 1080);
const std::string kProxy = "--proxy-server=socks5://127.0.0.1:1080";
const Variables kProxyVariables{{"HTTP_PROXY", "socks5://127.0.0.1:1080"},
                                {"HTTPS_PROXY", "socks5://127.0.0.1:1080"},
                                {"ALL_PROXY", "socks5://127.0.0.1:1080"},
                                {"NO_PROXY", "localhost,127.0.0.1,::1"}};

CodexInstallation zcodeInstallation() {
  auto installation = chromeInstallation();
  installation.bundleURL = "file:///Applications/ZCode.app/";
  installation.bundleIdentifier = "dev.zcode.app";
  installation.signingTeamIdentifier = "8A5X4JJ39T";
  installation.executableURL = "file:///Applications/ZCode.app/Contents/MacOS/ZCode";
  return installation;
}

const ChromeLaunchAdapter kChrome("/var/base",
                                  [] { return std::optional<std::string>("/home/u"); });
const ZCodeLaunchAdapter kZCode("/var/base");

Variables with(Variables variables, const Variables& more) {
  variables.insert(more.begin(), more.end());
  return variables;
}

TEST(LaunchPlanTest, ArgumentsAndVariables) {
  const std::string userData = "--user-data-dir=" + kPaths.userData();
  const std::vector<std::string> chromeFixed{userData, "--password-store=basic",
                                             "--use-mock-keychain"};
  const Variables chrome{{"HOME", "/home/u"},
                         {"USERPROFILE", "/home/u"},
                         {"XDG_CONFIG_HOME", kPaths.config()},
                         {"XDG_CACHE_HOME", kPaths.cache()},
                         {"LANGUAGE", "de"}};
  const Variables zcode{{"HOME", kPaths.home()},
                        {"USERPROFILE", kPaths.home()},
                        {"XDG_CONFIG_HOME", kPaths.config()},
                        {"XDG_CACHE_HOME", kPaths.cache()},
                        {"ZCODE_DATA_BASE_DIR", kPaths.home()},
                        {"ZCODE_HOME", kPaths.home() + "/.zcode"},
                        {"ZCODE_DESKTOP_HOME_DIR", kPaths.home()},
                        {"ZCODE_DESKTOP_USER_DATA_DIR", kPaths.userData()},
                        {"ZCODE_DESKTOP_SESSION_DATA_DIR", kPaths.userData() + "/session"},
                        {"ZCODE_DESKTOP_USE_ELECTRON_DEFAULT_USER_DATA", "0"},
                        {"LANGUAGE", "de"}};
  struct Row {
    const LaunchAdapter& adapter;
    CodexInstallation installation;
    std::optional<ProfileProxyConfiguration> proxy;
    std::vector<std::string> user;
    std::vector<std::string> arguments;
    Variables variables;
  };
  auto chromeArguments = [&](std::vector<std::string> tail) {
    auto all = chromeFixed;
    all.insert(all.end(), tail.begin(), tail.end());
    return all;
  };
  for (const auto& row : std::vector<Row>{
           {kChrome, chromeInstallation(), {}, {}, chromeFixed, chrome},
           {kChrome,
            chromeInstallation(),
            {},
            {"--lang=de", "x"},
            chromeArguments({"--lang=de", "x"}),
            chrome},
           {kChrome,
            chromeInstallation(),
            kSocks,
            {"x"},
            chromeArguments({kProxy, "x"}),
            with(chrome, kProxyVariables)},
           {kZCode, zcodeInstallation(), {}, {}, {}, zcode},
           {kZCode,
            zcodeInstallation(),
            kSocks,
            {"x"},
            {kProxy, "x"},
            with(zcode, kProxyVariables)},
       }) {
    AppProfile profile;
    profile.environmentVariables = {{"LANGUAGE", "de"}};
    profile.launchArguments = row.user;
    const auto plan = row.adapter.makeLaunchPlan({profile, row.installation, kPaths, row.proxy});
    EXPECT_EQ(plan.process.arguments, row.arguments);
    EXPECT_EQ(plan.process.environmentOverrides, row.variables);
    const auto bundle = *row.installation.bundlePath();
    EXPECT_EQ(plan.process.applicationTerminationIdentity,
              (ApplicationTerminationIdentity{row.installation.bundleIdentifier, bundle,
                                              plan.process.executablePath}));
    EXPECT_EQ(plan.process.executablePath.rfind(bundle + "/Contents/MacOS/", 0), 0u);
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
    return [=] {
      ChromeLaunchAdapter("/var/base", [home] {
        return home;
      }).makeLaunchPlan(installation, kPaths, proxy, {}, arguments);
    };
  };
  const std::string noHome = "Cannot resolve the macOS account home for Chrome.";
  struct Row {
    Case expected;
    std::string description;
    std::function<void()> call;
  };
  for (const auto& row : std::vector<Row>{
           {Case::installationChanged, "", chrome("/h", zcodeInstallation())},
           {Case::installationChanged, "", chrome("/h", unapproved)},
           {Case::installationChanged, "", chrome("/h", otherTeam)},
           {Case::installationChanged, "",
            [] { kZCode.makeLaunchPlan(chromeInstallation(), kPaths, {}, {}, {}); }},
           {Case::invalidEnvironmentVariables, noHome, chrome(std::nullopt)},
           {Case::invalidEnvironmentVariables, noHome, chrome("")},
           {Case::invalidEnvironmentVariables, "The macOS account home must be an absolute path.",
            chrome("home/u")},
           {Case::invalidProxyConfiguration, "Proxy port must be between 1 and 65535.",
            chrome("/h", chromeInstallation(), portZero)},
           {Case::invalidLaunchArguments, "options are managed by Korvelin",
            chrome("/h", chromeInstallation(), {}, {" --user-data-dir=/elsewhere"})},
           {Case::invalidEnvironmentVariables, "ZCODE_HOME is managed by Korvelin",
            [] {
              kZCode.makeLaunchPlan(zcodeInstallation(), kPaths, {}, {{"ZCODE_HOME", "/x"}}, {});
            }},
       }) {
    const auto description = testing::thrownDescription(row.expected, row.call);
    ASSERT_TRUE(description) << row.description;
    EXPECT_NE(description->find(row.description), std::string::npos) << *description;
  }
}

}  // namespace
}  // namespace korvelin
