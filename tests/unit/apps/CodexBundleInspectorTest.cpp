#include "core/apps/CodexBundleInspector.h"

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/files/FilePath.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using testing::BundleFixtures;
using testing::expectCoreError;

constexpr const char* kStandalone = "/Contents/Resources/codex";
constexpr const char* kNested = "/Contents/Resources/codex-cli/CodexCLI.app/Contents/MacOS/codex";

struct CodexBundleInspectorTest : ::testing::Test {
  BundleFixtures bundles;
  int made = 0;

  // A Codex bundle of the given build with an executable backend at each of
  // `backends` (paths inside the bundle).
  std::string bundle(const std::string& build, std::vector<std::string> backends = {kStandalone}) {
    auto layout = BundleFixtures::layoutFor(ManagedApplicationSupport::applications[0]);
    layout.plist["CFBundleShortVersionString"] = "26.903.61454";
    layout.plist["CFBundleVersion"] = build;
    layout.backend.clear();
    const std::string path = bundles.make(layout, "Codex" + std::to_string(++made) + ".app");
    for (const auto& backend : backends) {
      std::filesystem::create_directories(deletingLastPathComponent(path + backend));
      std::filesystem::copy_file(testing::testProgramPath("idle-app"), path + backend);
    }
    return path;
  }
};

TEST_F(CodexBundleInspectorTest, FindsTheBackendAtItsFirstPlaceOnlyWhenNothingIsThere) {
  struct Row {
    const char* name;
    std::vector<std::string> backends;
    std::function<void(const std::string& bundle)> change;
    std::optional<Case> failure;
    std::string backend;  // inside the bundle
  };
  const std::vector<Row> rows = {
      {"both", {kStandalone, kNested}, nullptr, {}, kStandalone},
      {"nested only", {kNested}, nullptr, {}, kNested},
      {"neither", {}, nullptr, Case::missingBackend, kNested},
      {"a link in the first place",
       {kNested},
       [](const std::string& b) { testing::makeSymlink(b + kNested, b + kStandalone); },
       Case::unsafeBundleMember,
       kStandalone},
      {"not executable",
       {kStandalone},
       [](const std::string& b) { ::chmod((b + kStandalone).c_str(), 0644); },
       Case::bundleMemberNotExecutable,
       kStandalone},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = bundle("8378", row.backends);
    if (row.change)
      row.change(path);
    const CodexBundleInspector subject(std::nullopt);
    if (row.failure) {
      const auto error = expectCoreError([&] { subject.inspect(path); });
      EXPECT_EQ(error.errorCase(), *row.failure);
      EXPECT_NE(error.detail().find(path + row.backend), std::string::npos) << error.detail();
      continue;
    }
    const auto installation = subject.inspect(path);
    EXPECT_EQ(installation.backendURL, fileURLString(path + row.backend, false));
    struct stat info {};
    ASSERT_EQ(::stat((path + row.backend).c_str(), &info), 0);
    EXPECT_EQ(installation.backendIdentity, FileIdentity::of(info));
    EXPECT_NE(installation.backendIdentity, installation.executableIdentity);
    // A known version pair needs no approval store.
    EXPECT_EQ(installation.compatibilityStatus, CodexCompatibilityStatus::verified);
  }
}

}  // namespace
}  // namespace korvelin
