#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/BundleFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProfileCliTest.h"

namespace korvelin {
namespace {

using testing::BundleFixtures;

class CliAppTest : public testing::ProfileCliTest {
 protected:
  const ManagedApplication& chrome_ =
      *ManagedApplicationSupport::application(ManagedApplicationSupport::chromeAdapterIdentifier);
  BundleFixtures bundles_;
};

TEST_F(CliAppTest, AnInspectedBundleBecomesAProfile) {
  const std::string bundle = bundles_.make(BundleFixtures::layoutFor(chrome_));
  const auto inspected = testing::run(korvelin({"app", "inspect", bundle, "--json"}));
  ASSERT_EQ(inspected.exitCode, 0) << inspected.errors;
  const auto record = nlohmann::json::parse(inspected.output);
  EXPECT_EQ(record["bundleIdentifier"], "com.google.Chrome");
  EXPECT_EQ(record["architectures"], nlohmann::json::array({"x86_64"}));

  const auto created =
      testing::run(korvelin({"profile", "create", "Work", "--bundle", bundle, "--json"}));
  ASSERT_EQ(created.exitCode, 0) << created.errors;
  const auto profile = nlohmann::json::parse(created.output);
  EXPECT_EQ(profile["adapterIdentifier"], "com.korvelin.adapter.chrome");
  EXPECT_EQ(profile["application"]["bundlePath"], bundle);
}

// Each bad bundle: exit 1, one line naming the problem, nothing printed or
// created.
TEST_F(CliAppTest, BadBundlesEndWithOneLine) {
  namespace fs = std::filesystem;
  const struct {
    const char* name;
    std::function<std::string(const std::string&)> tamper;
    const char* expected;
  } cases[] = {
      {"symbolic link",
       [](const std::string& bundle) {
         fs::create_directory_symlink(bundle, bundle + "-link.app");
         return bundle + "-link.app";
       },
       "Unsafe bundle member"},
      {"FIFO Info.plist",
       [](const std::string& bundle) {
         fs::remove(bundle + "/Contents/Info.plist");
         ::mkfifo((bundle + "/Contents/Info.plist").c_str(), 0600);
         return bundle;
       },
       "Invalid Info.plist"},
      {"1 GiB Info.plist",
       [](const std::string& bundle) {
         fs::resize_file(bundle + "/Contents/Info.plist", std::uintmax_t{1} << 30);
         return bundle;
       },
       "Invalid Info.plist"},
      {"missing executable",
       [](const std::string& bundle) {
         fs::remove(bundle + "/Contents/MacOS/Google Chrome");
         return bundle;
       },
       "Missing bundle executable"},
      {"group-writable parent",
       [](const std::string& bundle) {
         fs::permissions(bundle + "/Contents", fs::perms(0775));
         return bundle;
       },
       "writable by group or others"},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::string bundle = c.tamper(
        bundles_.make(BundleFixtures::layoutFor(chrome_), "c" + std::to_string(index++) + ".app"));
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"app", "inspect", bundle},
          std::vector<std::string>{"profile", "create", "Bad", "--bundle", bundle}}) {
      const auto result = testing::run(korvelin(command));
      EXPECT_EQ(result.exitCode, 1) << c.name;
      EXPECT_EQ(result.output, "") << c.name;
      EXPECT_TRUE(result.errors.starts_with("korvelin: ")) << c.name << ": " << result.errors;
      EXPECT_NE(result.errors.find(c.expected), std::string::npos)
          << c.name << ": " << result.errors;
      EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << c.name;
    }
  }
  EXPECT_FALSE(testing::exists(dir_.child("profiles.json")));
}

TEST_F(CliAppTest, ArchNamesTheArchitectures) {
  const auto result =
      testing::run(korvelin({"app", "arch", testing::testProgramPath("idle-app"), "--json"}));
  ASSERT_EQ(result.exitCode, 0) << result.errors;
  EXPECT_EQ(nlohmann::json::parse(result.output)["architectures"].size(), 1u);
  const auto refused =
      testing::run(korvelin({"app", "arch", testing::korvelinPath() + ".missing"}));
  EXPECT_EQ(refused.exitCode, 1);
}

}  // namespace
}  // namespace korvelin
