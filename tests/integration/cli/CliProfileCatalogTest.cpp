// korvelin profile create|list|show|update|delete, and profiles named by
// their name in the other per-profile commands.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/profile/ProfilePaths.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using nlohmann::json;
using testing::exists;
using testing::readText;
using testing::RunResult;

class CliProfileCatalogTest : public testing::CatalogCliTest {
 protected:
  std::string createJSON(const std::string& name, std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {"profile",        "create",      name,
                                          "--installation", installation_, "--json"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto result = korvelin(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    return result.output;
  }
};

TEST_F(CliProfileCatalogTest, RoundTripFromCreateToDeletion) {
  const json created =
      json::parse(createJSON("Work", {"--color", "teal", "--env", "A=1", "--arg=--lang=de"}));
  const auto id = *Uuid::parse(created["id"].get<std::string>());
  const ProfilePaths paths(id, base_);
  EXPECT_EQ(created["color"], "teal");
  EXPECT_EQ(created["launchArguments"], json::array({"--lang=de"}));
  EXPECT_TRUE(exists(paths.logs()));

  const auto listed = korvelin({"profile", "list", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.errors;
  EXPECT_EQ(json::parse(listed.output)["profiles"], json::array({created}));
  EXPECT_NE(korvelin({"profile", "list"})
                .output.find(id.uppercaseString() + "  Work  (Chrome, teal, system)"),
            std::string::npos);

  auto updated = korvelin({"profile", "update", "Work", "--name", "Home", "--proxy",
                           "socks5://My-Proxy:1080", "--clear-env", "--json"});
  ASSERT_EQ(updated.exitCode, 0) << updated.errors;
  const auto shown = korvelin({"profile", "show", "Home", "--json"});
  ASSERT_EQ(shown.exitCode, 0) << shown.errors;
  const json home = json::parse(shown.output);
  EXPECT_EQ(home, json::parse(updated.output));
  EXPECT_EQ(home["proxy"]["host"], "my-proxy");
  EXPECT_FALSE(home.contains("environmentVariables"));
  EXPECT_EQ(home["createdAt"], created["createdAt"]);

  // Other commands take the name too.
  const auto ran = korvelin({"run", "Home", "--", "/bin/sh", "-c", "touch \"$HOME/ran\""});
  EXPECT_EQ(ran.exitCode, 0) << ran.errors;
  EXPECT_TRUE(exists(paths.home() + "/ran"));
  EXPECT_EQ(korvelin({"paths", "Home", "--json"}).exitCode, 0);

  const auto deleted = korvelin({"profile", "delete", "Home", "--data"});
  EXPECT_EQ(deleted.exitCode, 0) << deleted.errors;
  EXPECT_FALSE(exists(paths.root()));
  EXPECT_EQ(korvelin({"profile", "list"}).output, "no profiles\n");
}

TEST_F(CliProfileCatalogTest, RefusalsAreOneLineAndLeaveTheCatalogueAlone) {
  createJSON("Twin");
  createJSON("Twin");
  const std::string catalog = base_ + "/profiles.json";
  const std::string before = readText(catalog);
  testing::makeFile(dir_.child("bad.json"), 0600, "{\"bundleURL\": 1}");
  struct Row {
    std::vector<std::string> arguments;
    int exitCode;
    std::string message;
  };
  const std::vector<Row> rows = {
      {{"profile", "show", "Twin"}, 2, "2 profiles are named 'Twin'; name one by its UUID"},
      {{"profile", "show", "Nobody"},
       2,
       "no profile named 'Nobody' (expected a profile's UUID or the name of a catalogued profile)"},
      {{"profile", "create", "X", "--installation", installation_, "--color", "mauve"},
       2,
       "unknown color 'mauve' (one of violet, blue, teal, yellow, orange, red, pink, gray)"},
      {{"profile", "create", "  ", "--installation", installation_},
       1,
       "Profile name must contain between 1 and 60 characters."},
      {{"profile", "create", "X", "--installation", installation_, "--allow-system-route"},
       1,
       "Invalid profile catalog: invalid profile network route."},
      {{"profile", "create", "X", "--installation", dir_.child("bad.json")},
       1,
       "invalid installation record " + dir_.child("bad.json") + ": missing key \"displayName\""},
      {{"profile", "delete", "00000000-0000-0000-0000-000000000001"},
       1,
       "Profile 00000000-0000-0000-0000-000000000001 was not found."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments[1] + " " + row.arguments[2]);
    const auto result = korvelin(row.arguments);
    EXPECT_EQ(result.exitCode, row.exitCode);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "korvelin: " + row.message + "\n");
    EXPECT_EQ(readText(catalog), before);
  }
}

}  // namespace
}  // namespace korvelin
