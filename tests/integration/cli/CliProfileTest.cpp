// korvelin profile create|list|show|update|delete, app inspect|arch, oauth
// route, paths / prepare / check against real directories, and the
// single-instance lease as a user meets it.

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/profile/ProfileRepository.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/ProfileCliTest.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::exists;
using testing::expectOneLineError;
using testing::makeDirectory;
using testing::makeSymlink;
using testing::modeOf;
using testing::readText;
using testing::runKorvelin;

constexpr const char* kProfile = "5C4B3A29-1807-4F6E-9D5C-4B3A29180706";
constexpr const char* kRoot = "/Profiles/5c4b3a29-1807-4f6e-9d5c-4b3a29180706";
const std::string kNamesAProfile =
    " (expected a profile's UUID or the name of a catalogued profile)";

class CliProfileTest : public testing::CatalogCliTest {
 protected:
  std::string createJSON(const std::string& name, std::vector<std::string> options) {
    std::vector<std::string> arguments = {"profile", "create", name, "--json"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    auto result = korvelin(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    return result.output;
  }

  const ManagedApplication& chrome_ =
      *ManagedApplicationSupport::application(ManagedApplicationSupport::chromeAdapterIdentifier);
  testing::BundleFixtures bundles_;
};

// An inspected bundle becomes a profile, which goes from creation through
// every change to its deletion, named by its name in the other commands.
TEST_F(CliProfileTest, RoundTripFromBundleToDeletion) {
  const std::string bundle = bundles_.make(testing::BundleFixtures::layoutFor(chrome_));
  const auto inspected = korvelin({"app", "inspect", bundle, "--json"});
  ASSERT_EQ(inspected.exitCode, 0) << inspected.errors;
  const auto record = json::parse(inspected.output);
  EXPECT_EQ(record["bundleIdentifier"], "com.google.Chrome");
  EXPECT_EQ(record["architectures"], json::array({"x86_64"}));
  const auto arch = korvelin({"app", "arch", testing::testProgramPath("idle-app"), "--json"});
  ASSERT_EQ(arch.exitCode, 0) << arch.errors;
  EXPECT_EQ(json::parse(arch.output)["architectures"].size(), 1u);

  const json created = json::parse(createJSON(
      "Work", {"--bundle", bundle, "--color", "teal", "--env", "A=1", "--arg=--lang=de"}));
  const auto id = *Uuid::parse(created["id"].get<std::string>());
  const ProfilePaths paths(id, base_);
  EXPECT_EQ(created["adapterIdentifier"], "com.korvelin.adapter.chrome");
  EXPECT_EQ(created["application"]["bundlePath"], bundle);
  EXPECT_EQ(created["color"], "teal");
  EXPECT_EQ(created["launchArguments"], json::array({"--lang=de"}));
  EXPECT_TRUE(exists(paths.logs()));

  const auto listed = korvelin({"profile", "list", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.errors;
  EXPECT_EQ(json::parse(listed.output)["profiles"], json::array({created}));
  EXPECT_THAT(korvelin({"profile", "list"}).output,
              ::testing::HasSubstr(id.uppercaseString() + "  Work  (Google Chrome, teal, system)"));

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

// Refusals, a bad bundle's among them (here, one reached through a symbolic
// link; each kind of bad bundle: BundleInspectionTest), are one line and
// leave the catalogue as it was.
TEST_F(CliProfileTest, RefusalsAreOneLineAndLeaveTheCatalogueAlone) {
  const std::vector<std::string> record = {"--installation", installation_};
  createJSON("Twin", record);
  createJSON("Twin", record);
  const std::string catalog = base_ + "/profiles.json";
  const std::string before = readText(catalog);
  const std::string bad = dir_.child("bad.json");
  testing::makeFile(bad, 0600, "{\"bundleURL\": 1}");
  const std::string linked = bundles_.make(testing::BundleFixtures::layoutFor(chrome_)) + "-link";
  std::filesystem::create_directory_symlink(linked.substr(0, linked.size() - 5), linked);
  auto create = [&](std::vector<std::string> options) {
    options.insert(options.begin(), {"profile", "create", "X"});
    return options;
  };
  const std::string unsafe = "Unsafe bundle member: " + linked + ".";
  const std::string nobody = "00000000-0000-0000-0000-000000000001";
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
    std::string message;
  } rows[] = {
      {{"profile", "show", "Twin"}, 2, "2 profiles are named 'Twin'; name one by its UUID"},
      {{"profile", "show", "Nobody"}, 2, "no profile named 'Nobody'" + kNamesAProfile},
      {create({"--installation", installation_, "--color", "mauve"}), 2,
       "unknown color 'mauve' (one of violet, blue, teal, yellow, orange, red, pink, gray)"},
      {{"profile", "create", "  ", "--installation", installation_},
       1,
       "Profile name must contain between 1 and 60 characters."},
      {create({"--installation", installation_, "--allow-system-route"}), 1,
       "Invalid profile catalog: invalid profile network route."},
      {create({"--installation", bad}), 1,
       "invalid installation record " + bad + ": missing key \"displayName\""},
      {{"profile", "delete", nobody}, 1, "Profile " + nobody + " was not found."},
      {{"app", "inspect", linked}, 1, unsafe},
      {create({"--bundle", linked}), 1, unsafe},
      {{"app", "arch", "/nonexistent/x"},
       1,
       "Could not inspect executable architectures: open failed for /nonexistent/x: No such file "
       "or directory."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments[1] + " " + row.arguments[2]);
    expectOneLineError(korvelin(row.arguments), row.exitCode, row.message);
    EXPECT_EQ(readText(catalog), before);
  }
}

// The paired Chrome profile of a link, as JSON and as one-line refusals that
// never show the link.
TEST_F(CliProfileTest, OAuthRoutesToThePairedChromeProfile) {
  const Uuid connection = Uuid::random();
  auto add = [&](const std::string& name, const CodexInstallation& installation) {
    return ProfileRepository(base_, dir_.child("not-the-default"))
        .create({.id = Uuid::random(), .name = name, .proxyConnectionID = connection},
                installation);
  };
  const auto work = add("Work", testing::claudeInstallation());
  const auto chrome = add("work", testing::chromeInstallation());
  add("Solo", testing::claudeInstallation());

  const std::string link = "https://claude.ai/oauth/authorize?code=secret-state";
  const auto routed = korvelin({"oauth", "route", link, "--json"});
  ASSERT_EQ(routed.exitCode, 0) << routed.errors;
  const auto result = json::parse(routed.output);
  EXPECT_EQ(result["claudeProfile"]["id"], work.id.uppercaseString());
  EXPECT_EQ(result["chromeProfile"]["name"], "work");
  EXPECT_EQ(result["command"], (json{"/Applications/Google Chrome.app/Contents/MacOS/Google Chrome",
                                     "--user-data-dir=" + ProfilePaths(chrome.id, base_).userData(),
                                     "--password-store=basic", "--use-mock-keychain", link}));
  EXPECT_EQ(result["opened"], false);

  const std::string elsewhere = "https://example.com/login?token=secret";
  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
      {{"oauth", "route", "https://example.com/?next=claude.ai"},
       "This URL is not an OAuth authorization URL."},
      {{"oauth", "route", "--claude", "Solo", elsewhere},
       "No Chrome profile with the same name and VLESS route was found."},
      {{"oauth", "route", "--claude", "work", elsewhere},
       "No Claude profile is available for OAuth routing."},
      {{"oauth", "route", "--open", link},
       "The paired Chrome profile is stopped. Start it in Korvelin, then retry the authorization "
       "link."},
  };
  for (const auto& [arguments, expected] : refusals) {
    SCOPED_TRACE(arguments.back());
    expectOneLineError(korvelin(arguments), 1, expected);
  }
}

TEST_F(CliProfileTest, PrepareCreatesCheckVerifiesAndPathsNamesTheTree) {
  expectOneLineError(
      runKorvelin({"--base", base_, "check", kProfile}), 1,
      "Unsafe profile path: openat failed for " + base_ + "/Profiles: No such file or directory.");
  EXPECT_FALSE(exists(base_ + "/Profiles"));

  auto prepared = runKorvelin({"--base", base_, "prepare", kProfile});
  ASSERT_EQ(prepared.exitCode, 0) << prepared.errors;
  EXPECT_EQ(prepared.output, "prepared " + base_ + kRoot + "\n");
  for (const char* child : {"home", "config", "cache", "user-data", "logs"})
    EXPECT_EQ(modeOf(base_ + kRoot + "/" + child), 0700u) << child;
  EXPECT_EQ(modeOf(base_ + "/.instance.lock"), 0600u);

  auto ok = runKorvelin({"--base", base_, "check", kProfile});
  EXPECT_EQ(ok.exitCode, 0) << ok.errors;
  EXPECT_EQ(ok.output, "ok " + base_ + kRoot + "\n");

  auto paths = runKorvelin({"--base", base_ + "/./", "paths", kProfile, "--json"});
  ASSERT_EQ(paths.exitCode, 0) << paths.errors;
  EXPECT_EQ(json::parse(paths.output)["userData"], "file://" + base_ + kRoot + "/user-data/");

  // Another copy holds the base: changing commands wait for no one, read-only
  // ones ignore the lease.
  testing::Subprocess holder(
      {testing::testProgramPath("instance-lease-holder"), base_, dir_.child("default")});
  ASSERT_TRUE(holder.waitForOutput("acquired\n", 10s)) << holder.errors();
  const char* other = "0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9";
  expectOneLineError(runKorvelin({"--base", base_, "prepare", other}), 1,
                     "another copy of Korvelin is using " + base_ + " (it holds " + base_ +
                         "/.instance.lock); nothing was changed, try again once it has finished");
  EXPECT_FALSE(exists(base_ + "/Profiles/0a1b2c3d-4e5f-4071-8293-a4b5c6d7e8f9"));
  EXPECT_EQ(runKorvelin({"--base", base_, "check", kProfile}).exitCode, 0);
  EXPECT_EQ(runKorvelin({"--base", base_, "paths", other}).exitCode, 0);
  holder.signal(SIGKILL);
  ASSERT_TRUE(holder.wait(10s));
  EXPECT_EQ(runKorvelin({"--base", base_, "prepare", other}).exitCode, 0);
}

TEST_F(CliProfileTest, DefaultBaseComesFromTheEnvironmentAndIsCreatedPrivate) {
  const std::string home = dir_.child("home");
  makeDirectory(home, 0755);
  auto prepare = [&](std::vector<std::string> environment) {
    return runKorvelin({"prepare", kProfile}, {.environment = environment}).exitCode;
  };
  ASSERT_EQ(prepare({"HOME=" + home}), 0);
  for (const char* directory : {"/.local", "/.local/share", "/.local/share/Korvelin"})
    EXPECT_EQ(modeOf(home + directory), 0700u) << directory;

  const std::string xdg = dir_.child("xdg");
  makeDirectory(xdg);
  ASSERT_EQ(prepare({"HOME=" + home, "XDG_DATA_HOME=" + xdg}), 0);
  EXPECT_TRUE(exists(xdg + "/Korvelin" + kRoot + "/logs"));

  // A link on the way to the default base is refused before anything is
  // made through it.
  const std::string linkedHome = dir_.child("linked-home");
  const std::string elsewhere = dir_.child("elsewhere");
  makeDirectory(linkedHome, 0755);
  makeDirectory(elsewhere, 0700);
  makeSymlink(elsewhere, linkedHome + "/.local");
  EXPECT_EQ(prepare({"HOME=" + linkedHome}), 1);
  EXPECT_FALSE(exists(elsewhere + "/share"));
}

TEST_F(CliProfileTest, TreeRefusalsAreOneLineAndChangeNothing) {
  const std::string link = dir_.child("link");
  makeSymlink(base_, link);
  const std::string missing = dir_.child("missing");
  const std::string prefix = "Korvelin could not establish single-instance ownership: ";

  expectOneLineError(runKorvelin({"--base", base_, "prepare", "not-a-uuid"}), 2,
                     "no profile named 'not-a-uuid'" + kNamesAProfile);
  expectOneLineError(
      runKorvelin({"--base", missing, "prepare", kProfile}), 1,
      prefix + "Unsafe profile base: custom base must already exist: " + missing + ".");
  expectOneLineError(
      runKorvelin({"--base", link, "check", kProfile}), 1,
      "Unsafe profile base: path contains a symbolic link: " + link + ".");  // no lease taken
  ::chmod(base_.c_str(), 0770);
  expectOneLineError(
      runKorvelin({"--base", base_, "prepare", kProfile}), 1,
      prefix + "Unsafe profile base: directory is writable by group or others: " + base_ + ".");
  EXPECT_EQ(modeOf(base_), 0770u);
  EXPECT_FALSE(exists(base_ + "/Profiles"));
  EXPECT_FALSE(exists(base_ + "/.instance.lock"));
  EXPECT_FALSE(exists(missing));
}

}  // namespace
}  // namespace korvelin
