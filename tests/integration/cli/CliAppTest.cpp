
#include <filesystem>

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

// A bad bundle (here, one reached through a symbolic link): exit 1, one line
// naming the problem, nothing printed or created. Each kind of bad bundle and
// its text: BundleInspectionTest.
TEST_F(CliAppTest, ABadBundleEndsWithOneLine) {
  const std::string bundle = bundles_.make(BundleFixtures::layoutFor(chrome_));
  std::filesystem::create_directory_symlink(bundle, bundle + "-link.app");
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"app", "inspect", bundle + "-link.app"},
        std::vector<std::string>{"profile", "create", "Bad", "--bundle", bundle + "-link.app"}}) {
    const auto result = testing::run(korvelin(command));
    EXPECT_EQ(result.exitCode, 1) << command[0];
    EXPECT_EQ(result.output, "") << command[0];
    EXPECT_EQ(result.errors, "korvelin: Unsafe bundle member: " + bundle + "-link.app.\n");
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
