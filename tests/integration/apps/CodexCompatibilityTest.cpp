// The probe with the real Codex backend (hard-linked into the bundle) and
// real Chromium, started by a stand-in desktop executable: it approves only
// what created its state in the throw-away profile and stayed unchanged.
// The approving path runs end to end, through `korvelin`, in RealLaunchTest.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/apps/CodexCompatibilityProbe.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using testing::BundleFixtures;
using testing::expectCoreError;

class CodexCompatibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    auto path = testing::realCodexPath(reason);
    if (!path)
      GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
    realCodex = *path;
    ::chmod(base.path().c_str(), 0700);
  }

  // A Codex bundle of an unverified build whose desktop executable is
  // `program` and whose backend is the real Codex CLI.
  std::string makeBundle(const std::string& program, const std::string& name = "") {
    return bundles.make(BundleFixtures::uncheckedCodexLayout(program, realCodex), name);
  }

  // Whether a live process's command line names `text` (Chromium names its
  // user-data directory, the stand-in its own arguments).
  static bool processNaming(const std::string& text) {
    return testing::run({"/usr/bin/pgrep", "-f", text}).exitCode == 0;
  }

  CodexCompatibilityProbe probe(double timeout) const {
    return CodexCompatibilityProbe(base.path(), base.child("default"), timeout);
  }

  bool approvalWritten() const { return testing::exists(base.child("codex-compatibility.json")); }

  // The throw-away profiles the probe made.
  std::vector<std::string> checkProfiles() const {
    std::vector<std::string> roots;
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator(base.child("CompatibilityChecks/Profiles"), ignored))
      roots.push_back(entry.path());
    return roots;
  }

  // No subreaper here: the stand-in's children outlive it for a moment, and
  // orphans adopted by this process would stay in the group as zombies.
  std::string realCodex;
  BundleFixtures bundles;
  testing::ScopedTempDir base;
};

// A Codex that creates nothing, and one whose bundle changes while it runs:
// neither is approved, and nothing of either run is left.
TEST_F(CodexCompatibilityTest, NoApprovalWithoutEvidenceOrForAChangedBundle) {
  struct Case_ {
    const char* program;
    bool changesBundle;
    Case expected;
  };
  for (const auto& c : {Case_{"idle-app", false, Case::compatibilityCheckFailed},
                        Case_{"desktop-standin", true, Case::installationChanged}}) {
    SCOPED_TRACE(c.program);
    const std::string bundle = makeBundle(c.program, std::string(c.program) + ".app");
    if (c.changesBundle)
      testing::makeFile(bundle + "/Contents/Resources/change-bundle-on-start", 0644);
    const auto checker = probe(c.changesBundle ? 120 : 1.5);
    const auto installation = checker.adapter().inspect(bundle);
    const auto error = expectCoreError([&] { checker.check(installation); });
    EXPECT_EQ(error.errorCase(), c.expected) << error.errorDescription();
    if (c.expected == Case::compatibilityCheckFailed) {
      EXPECT_EQ(error.errorDescription(),
                "Codex compatibility check failed: Codex did not create isolated profile evidence "
                "before the timeout.");
    }
    EXPECT_FALSE(approvalWritten());
    for (const auto& root : checkProfiles()) {
      EXPECT_FALSE(testing::exists(root + "/.launch.lock")) << root;
      // Chromium's crash handler runs in a session of its own, outside the
      // run's group, and names the profile's home; it ends on its own once
      // the browser is gone, which on a loaded machine takes a moment.
      EXPECT_TRUE(
          testing::eventually([&] { return !processNaming(root); }, std::chrono::seconds(10)))
          << root;
    }
  }
}

}  // namespace
}  // namespace korvelin
