#include "core/apps/OAuthChromeRouter.h"

#include <functional>

#include <gtest/gtest.h>

#include "core/apps/ManagedApplicationSupport.h"
#include "core/apps/OAuthChromeOpener.h"

namespace korvelin {
namespace {

namespace Router = OAuthChromeRouter;

const Uuid kConnectionX = *Uuid::parse("11111111-1111-1111-1111-111111111111");
const Uuid kConnectionY = *Uuid::parse("22222222-2222-2222-2222-222222222222");

AppProfile profile(std::string_view adapter, std::string name, std::optional<Uuid> connection) {
  AppProfile result;
  result.id = Uuid::random();
  result.name = std::move(name);
  result.adapterIdentifier = adapter;
  result.proxyConnectionID = connection;
  result.application.bundlePath = "/Applications/Google Chrome.app";
  return result;
}
AppProfile claude(std::string name, std::optional<Uuid> connection = kConnectionX) {
  return profile(ManagedApplicationSupport::claudeAdapterIdentifier, std::move(name), connection);
}
AppProfile chrome(std::string name, std::optional<Uuid> connection = kConnectionX) {
  return profile(ManagedApplicationSupport::chromeAdapterIdentifier, std::move(name), connection);
}

// "claude/chrome" names of the route, or the error's code.
std::string outcome(const std::function<OAuthChromeRoute()>& call) {
  try {
    const auto route = call();
    return route.claudeProfile.name + "/" + route.chromeProfile.name;
  } catch (const OAuthChromeRoutingError& e) {
    return std::string(e.code());
  }
}

TEST(OAuthChromeRouterTest, RecognisesSignInHostsOnlyInTheAuthority) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"https://claude.ai/login", true},
      {"HTTPS://CLAUDE.AI/login", true},
      {"http://Accounts.Google.com/o/oauth2/auth?x=1", true},
      {"https://tenant.auth.anthropic.com/", true},
      {"https://claude.ai./", true},
      {"https://%63laude.ai/", true},
      // Unicode case folding: a long s folds to "s", as a browser's host
      // mapping takes it.
      {"https://account\xC5\xBF.google.com/", true},
      // Full-width letters are other characters, not another case.
      {"https://\xEF\xBD\x83laude.ai/", false},
      {"https://CLAUDE.AI\xC4\xB0/", false},
      {"https://auth.anthropic.com.evil.example/", false},
      {"https://evilauth.anthropic.com/", false},
      {"https://example.com/claude.ai", false},
      {"https://example.com/?next=https://claude.ai/", false},
      {"https://example.com/#claude.ai", false},
      {"https://claude.ai@example.com/", false},
      {"ftp://claude.ai/", false},
      {"claude.ai/login", false},
      {"https://claude.ai/ login", false},
      {"", false},
  };
  for (const auto& [url, expected] : cases)
    EXPECT_EQ(Router::isOAuthURL(url), expected) << url;
  EXPECT_TRUE(Router::isHTTPURL("HtTp://example.com"));
  EXPECT_FALSE(Router::isHTTPURL("file:///etc/passwd"));
  EXPECT_FALSE(Router::isHTTPURL("mailto:someone@example.com"));
}

TEST(OAuthChromeRouterTest, PairsByNameAndConnection) {
  struct Case {
    std::string name;
    std::vector<AppProfile> profiles;
    std::string expected;
  };
  const std::string noPair = "noPairedChromeProfile", noClaude = "noClaudeProfile";
  const std::vector<Case> cases = {
      {"same name in another case, same connection", {claude("Work"), chrome("work")}, "Work/work"},
      {"Unicode case", {claude("Straße"), chrome("STRASSE")}, "Straße/STRASSE"},
      {"no trimming", {claude("Work"), chrome("Work ")}, noPair},
      {"another connection", {claude("Work"), chrome("work", kConnectionY)}, noPair},
      {"neither has a connection",
       {claude("Work", std::nullopt), chrome("Work", std::nullopt)},
       noPair},
      {"only Claude has one", {claude("Work"), chrome("Work", std::nullopt)}, noPair},
      {"two partners end the search",
       {claude("Work"), chrome("Work"), chrome("WORK"), claude("Home"), chrome("Home")},
       "ambiguousChromeProfiles"},
      {"a later Claude profile finds its partner",
       {claude("Work"), claude("Home"), chrome("Home"), chrome("Other")},
       "Home/Home"},
      {"Chrome only", {chrome("Work")}, noClaude},
      {"Claude only", {claude("Work")}, noPair},
      {"no profiles", {}, noClaude},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome([&] { return Router::route("https://claude.ai/", c.profiles); }), c.expected);
    EXPECT_EQ(outcome([&] { return Router::routeAnyHTTPURL("http://a.example/", c.profiles); }),
              c.expected);
  }
  const std::vector<AppProfile> pair = {claude("Work"), chrome("Work")};
  EXPECT_EQ(outcome([&] { return Router::route("https://example.com/", pair); }), "unsupportedURL");
  EXPECT_EQ(outcome([&] { return Router::routeAnyHTTPURL("file:///x", pair); }), "unsupportedURL");
}

TEST(OAuthChromeRouterTest, RoutesOnBehalfOfOneClaudeProfile) {
  const std::vector<AppProfile> profiles = {claude("Work"), chrome("Work"), claude("Home"),
                                            chrome("Home"), chrome("HOME"), claude("Solo")};
  const std::vector<std::pair<Uuid, std::string>> cases = {
      {profiles[0].id, "Work/Work"},
      {profiles[2].id, "ambiguousChromeProfiles"},
      {profiles[5].id, "noPairedChromeProfile"},
      {profiles[1].id, "noClaudeProfile"},  // a Chrome profile's identifier
      {Uuid::random(), "noClaudeProfile"},
  };
  for (const auto& [id, expected] : cases)
    EXPECT_EQ(outcome([&] { return Router::routeHTTPURL("https://example.com/", id, profiles); }),
              expected);
  EXPECT_EQ(outcome([&] { return Router::routeHTTPURL("mailto:a@b", profiles[0].id, profiles); }),
            "unsupportedURL");
}

TEST(OAuthChromeRouterTest, CommandPassesTheLinkAsGiven) {
  const auto route = Router::route("https://claude.ai/", {claude("Work"), chrome("Work")});
  const std::string url = "HTTPS://Claude.AI/oauth?x=a%20b&y='\"$(z)";
  EXPECT_EQ(
      Router::command(url, route, "/base/./dir/"),
      (std::vector<std::string>{"/Applications/Google Chrome.app/Contents/MacOS/Google Chrome",
                                "--user-data-dir=/base/dir/Profiles/" +
                                    route.chromeProfile.id.lowercaseString() + "/user-data",
                                "--password-store=basic", "--use-mock-keychain", url}));
}

// What Chrome said after a hand-off is shown to whoever launched Claude, who
// never asked for the link: no line naming it, or any URL, gets through.
TEST(OAuthChromeOpenerTest, HandOffSummaryNeverCarriesALink) {
  const std::string link = "https://claude.ai/oauth?code=secret";
  const struct {
    std::string output;
    std::string summary;
  } cases[] = {
      {"Opening in existing browser session.\n", "Opening in existing browser session."},
      {"Opening " + link + "\nOpened.\n", "Opened."},
      {"see file:///tmp/x\nok", "ok"},
      {std::string(600, 'a'), std::string(512, 'a')},
  };
  for (const auto& c : cases)
    EXPECT_EQ(handOffSummary(c.output, link), c.summary) << c.output;
}

}  // namespace
}  // namespace korvelin
