// korvelin paths / prepare / check against real directories, and the
// single-instance lease as a user meets it.

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::exists;
using testing::korvelinPath;
using testing::makeDirectory;
using testing::makeSymlink;
using testing::modeOf;
using testing::run;
using testing::RunResult;

constexpr const char* kProfile = "5C4B3A29-1807-4F6E-9D5C-4B3A29180706";
constexpr const char* kRoot = "/Profiles/5c4b3a29-1807-4f6e-9d5c-4b3a29180706";

RunResult korvelin(const std::vector<std::string>& arguments,
                   testing::SubprocessOptions options = {}) {
  std::vector<std::string> argv = {korvelinPath()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run(argv, options);
}

void expectOneLineError(const RunResult& result, int exitCode, const std::string& message) {
  EXPECT_EQ(result.exitCode, exitCode) << result.errors;
  EXPECT_TRUE(result.output.empty()) << result.output;
  EXPECT_EQ(result.errors, "korvelin: " + message + "\n");
}

class CliProfileTreeTest : public ::testing::Test {
 protected:
  CliProfileTreeTest() : base(temp.child("base")) { makeDirectory(base); }
  testing::ScopedTempDir temp;
  std::string base;
};

TEST_F(CliProfileTreeTest, PrepareCreatesCheckVerifiesAndPathsNamesTheTree) {
  auto checked = korvelin({"--base", base, "check", kProfile});
  expectOneLineError(
      checked, 1,
      "Unsafe profile path: openat failed for " + base + "/Profiles: No such file or directory.");
  EXPECT_FALSE(exists(base + "/Profiles"));

  auto prepared = korvelin({"--base", base, "prepare", kProfile});
  ASSERT_EQ(prepared.exitCode, 0) << prepared.errors;
  EXPECT_EQ(prepared.output, "prepared " + base + kRoot + "\n");
  for (const char* child : {"home", "config", "cache", "user-data", "logs"})
    EXPECT_EQ(modeOf(base + kRoot + "/" + child), 0700u) << child;
  EXPECT_EQ(modeOf(base + "/.instance.lock"), 0600u);

  auto ok = korvelin({"--base", base, "check", kProfile});
  EXPECT_EQ(ok.exitCode, 0) << ok.errors;
  EXPECT_EQ(ok.output, "ok " + base + kRoot + "\n");

  auto paths = korvelin({"--base", base + "/./", "paths", kProfile, "--json"});
  ASSERT_EQ(paths.exitCode, 0) << paths.errors;
  EXPECT_EQ(nlohmann::json::parse(paths.output)["userData"],
            "file://" + base + kRoot + "/user-data/");
}

TEST_F(CliProfileTreeTest, ChangingCommandsWaitForNoOneAndReadOnlyOnesIgnoreTheLease) {
  ASSERT_EQ(korvelin({"--base", base, "prepare", kProfile}).exitCode, 0);
  testing::Subprocess holder(
      {testing::testProgramPath("instance-lease-holder"), base, temp.child("default")});
  ASSERT_TRUE(holder.waitForOutput("acquired\n", 10s)) << holder.errors();

  const char* other = "0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9";
  expectOneLineError(korvelin({"--base", base, "prepare", other}), 1,
                     "another copy of Korvelin is using " + base + " (it holds " + base +
                         "/.instance.lock); nothing was changed, try again once it has finished");
  EXPECT_FALSE(exists(base + "/Profiles/0a1b2c3d-4e5f-4071-8293-a4b5c6d7e8f9"));
  EXPECT_EQ(korvelin({"--base", base, "check", kProfile}).exitCode, 0);
  EXPECT_EQ(korvelin({"--base", base, "paths", other}).exitCode, 0);

  holder.signal(SIGKILL);
  ASSERT_TRUE(holder.wait(10s));
  EXPECT_EQ(korvelin({"--base", base, "prepare", other}).exitCode, 0);
}

TEST_F(CliProfileTreeTest, DefaultBaseComesFromTheEnvironmentAndIsCreatedPrivate) {
  const std::string home = temp.child("home");
  makeDirectory(home, 0755);
  testing::SubprocessOptions options;
  options.environment = std::vector<std::string>{"HOME=" + home};
  auto result = korvelin({"prepare", kProfile}, options);
  ASSERT_EQ(result.exitCode, 0) << result.errors;
  for (const char* directory : {"/.local", "/.local/share", "/.local/share/Korvelin"})
    EXPECT_EQ(modeOf(home + directory), 0700u) << directory;

  const std::string xdg = temp.child("xdg");
  makeDirectory(xdg);
  options.environment = std::vector<std::string>{"HOME=" + home, "XDG_DATA_HOME=" + xdg};
  ASSERT_EQ(korvelin({"prepare", kProfile}, options).exitCode, 0);
  EXPECT_TRUE(exists(xdg + "/Korvelin" + kRoot + "/logs"));

  // A link on the way to the default base is refused before anything is
  // made through it.
  const std::string linkedHome = temp.child("linked-home");
  const std::string elsewhere = temp.child("elsewhere");
  makeDirectory(linkedHome, 0755);
  makeDirectory(elsewhere, 0700);
  makeSymlink(elsewhere, linkedHome + "/.local");
  options.environment = std::vector<std::string>{"HOME=" + linkedHome};
  EXPECT_EQ(korvelin({"prepare", kProfile}, options).exitCode, 1);
  EXPECT_FALSE(exists(elsewhere + "/share"));
}

TEST_F(CliProfileTreeTest, RefusalsAreOneLineAndChangeNothing) {
  const std::string link = temp.child("link");
  makeSymlink(base, link);
  const std::string missing = temp.child("missing");
  const std::string prefix = "Korvelin could not establish single-instance ownership: ";

  expectOneLineError(korvelin({"--base", base, "prepare", "not-a-uuid"}), 2,
                     "no profile named 'not-a-uuid' (expected a profile's UUID or the name of a "
                     "catalogued profile)");
  expectOneLineError(
      korvelin({"--base", missing, "prepare", kProfile}), 1,
      prefix + "Unsafe profile base: custom base must already exist: " + missing + ".");
  expectOneLineError(
      korvelin({"--base", link, "check", kProfile}), 1,
      "Unsafe profile base: path contains a symbolic link: " + link + ".");  // no lease taken
  ::chmod(base.c_str(), 0770);
  expectOneLineError(
      korvelin({"--base", base, "prepare", kProfile}), 1,
      prefix + "Unsafe profile base: directory is writable by group or others: " + base + ".");
  EXPECT_EQ(modeOf(base), 0770u);
  EXPECT_FALSE(exists(base + "/Profiles"));
  EXPECT_FALSE(exists(base + "/.instance.lock"));
  EXPECT_FALSE(exists(missing));
}

}  // namespace
}  // namespace korvelin
