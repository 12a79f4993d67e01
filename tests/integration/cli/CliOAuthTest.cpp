// korvelin oauth route: the paired Chrome profile of a link, as JSON and as
// one-line refusals that never show the link.

#include <nlohmann/json.hpp>

#include "core/apps/ManagedApplicationSupport.h"
#include "core/profile/ProfileRepository.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/ProfileCliTest.h"

namespace korvelin::testing {
namespace {

class CliOAuthTest : public ProfileCliTest {
 protected:
  AppProfile add(const std::string& name,
                 const CodexInstallation& installation,
                 std::optional<Uuid> connection) {
    ProfileRepository::Draft draft;
    draft.id = Uuid::random();
    draft.name = name;
    draft.proxyConnectionID = connection;
    return ProfileRepository(dir_.path(), dir_.path() + "/not-the-default")
        .create(draft, installation);
  }
};

TEST_F(CliOAuthTest, RoutesToThePairedChromeProfileAndRefusesInOneLine) {
  const Uuid connection = Uuid::random();
  const auto work = add("Work", claudeInstallation(), connection);
  const auto chrome = add("work", chromeInstallation(), connection);
  add("Solo", claudeInstallation(), connection);

  const std::string link = "https://claude.ai/oauth/authorize?code=secret-state";
  const auto routed = run(korvelin({"oauth", "route", link, "--json"}));
  ASSERT_EQ(routed.exitCode, 0) << routed.errors;
  const auto result = nlohmann::json::parse(routed.output);
  EXPECT_EQ(result["claudeProfile"]["id"], work.id.uppercaseString());
  EXPECT_EQ(result["chromeProfile"]["name"], "work");
  EXPECT_EQ(result["command"],
            (nlohmann::json{"/Applications/Google Chrome.app/Contents/MacOS/Google Chrome",
                            "--user-data-dir=" + ProfilePaths(chrome.id, dir_.path()).userData(),
                            "--password-store=basic", "--use-mock-keychain", link}));
  EXPECT_EQ(result["opened"], false);

  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
      {{"oauth", "route", "https://example.com/?next=claude.ai"},
       "korvelin: This URL is not an OAuth authorization URL.\n"},
      {{"oauth", "route", "--claude", "Solo", "https://example.com/login?token=secret"},
       "korvelin: No Chrome profile with the same name and VLESS route was found.\n"},
      {{"oauth", "route", "--claude", "work", "https://example.com/login?token=secret"},
       "korvelin: No Claude profile is available for OAuth routing.\n"},
      {{"oauth", "route", "--open", link},
       "korvelin: The paired Chrome profile is stopped. Start it in Korvelin, then retry the "
       "authorization link.\n"},
  };
  for (const auto& [arguments, expected] : refusals) {
    const auto refused = run(korvelin(arguments));
    EXPECT_EQ(refused.exitCode, 1) << arguments.back();
    EXPECT_EQ(refused.errors, expected) << arguments.back();
  }
}

}  // namespace
}  // namespace korvelin::testing
