// Codex of a version nobody verified, from refusal to approval and back: the
// real Codex backend (hard-linked into the bundle) and real Chromium, started
// by a stand-in desktop executable, create their state in a throw-away
// profile; the probe approves exactly that installation, and only while the
// bundle stays what was inspected.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include <gtest/gtest.h>

#include "core/apps/CodexCompatibilityProbe.h"
#include "core/files/FilePath.h"
#include "core/process/ProcessSupervisor.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using testing::BundleFixtures;
using testing::expectCoreError;

const ManagedApplication& codexRow() {
  return ManagedApplicationSupport::applications[0];
}

class CodexCompatibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    auto path = testing::realCodexPath(reason);
    if (!path)
      GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
    realCodex = *path;
  }

  // A Codex bundle of an unverified build whose desktop executable is
  // `program` and whose backend is the real Codex CLI.
  std::string makeBundle(const std::string& program, const std::string& name = "") {
    auto spec = BundleFixtures::specFor(codexRow());
    spec.program = program;
    spec.backend.clear();  // the real one, linked below
    spec.plist["CFBundleShortVersionString"] = "26.903.61454";
    spec.plist["CFBundleVersion"] = "8379";
    const std::string bundle = bundles.make(spec, name);
    testing::makeDirectory(bundle + "/Contents/Resources", 0755);
    EXPECT_EQ(::link(realCodex.c_str(), (bundle + "/Contents/Resources/codex").c_str()), 0);
    return bundle;
  }

  // Live processes whose command line names `text` (Chromium names its
  // user-data directory, the stand-in its own arguments).
  static int processesNaming(const std::string& text) {
    int count = 0;
    if (DIR* proc = ::opendir("/proc")) {
      while (const dirent* entry = ::readdir(proc))
        if (std::isdigit(static_cast<unsigned char>(entry->d_name[0])) &&
            testing::readText(std::string("/proc/") + entry->d_name + "/cmdline").find(text) !=
                std::string::npos)
          ++count;
      ::closedir(proc);
    }
    return count;
  }

  CodexCompatibilityProbe probe(double timeout) const {
    return CodexCompatibilityProbe(base.path(), base.child("default"), timeout);
  }

  bool approvalWritten() const { return testing::exists(base.child("codex-compatibility.json")); }

  // The throw-away profiles the probe made.
  std::vector<std::string> checkProfiles() const {
    std::vector<std::string> roots;
    const std::string profiles = base.child("CompatibilityChecks/Profiles");
    if (DIR* directory = ::opendir(profiles.c_str())) {
      while (const dirent* entry = ::readdir(directory))
        if (entry->d_name[0] != '.')
          roots.push_back(profiles + "/" + entry->d_name);
      ::closedir(directory);
    }
    return roots;
  }

  // No subreaper here: the stand-in's children outlive it for a moment, and
  // orphans adopted by this process would stay in the group as zombies.
  std::string realCodex;
  BundleFixtures bundles;
  testing::ScopedTempDir base;
};

TEST_F(CodexCompatibilityTest, UnverifiedUntilCheckedAndAgainOnceTheExecutableChanges) {
  const std::string bundle = makeBundle("codex-desktop");
  const auto checker = probe(120);
  const auto& adapter = checker.adapter();
  const auto before = adapter.inspect(bundle);
  ASSERT_EQ(before.compatibilityStatus, CodexCompatibilityStatus::unverifiedVersion);
  EXPECT_EQ(before.backendURL, fileURLString(bundle + "/Contents/Resources/codex", false));

  const testing::ScopedTempDir profileBase;
  const ProfilePaths paths(Uuid::random(), profileBase.path());
  ProfilePreparer(profileBase.path()).prepare(paths);
  EXPECT_EQ(*testing::thrownDescription(
                Case::unverifiedVersion,
                [&] { adapter.makeLaunchPlan(before, paths, std::nullopt, {}, {}); }),
            "Codex version 26.903.61454 (8379) is not verified.");

  const auto checked = checker.check(before);
  EXPECT_EQ(checked.compatibilityStatus, CodexCompatibilityStatus::locallyVerified);
  ASSERT_EQ(checkProfiles().size(), 1u);
  EXPECT_TRUE(testing::exists(checkProfiles()[0] + "/user-data/SingletonLock"));

  // Approved: the plan is made and the application starts under the guards.
  ProcessSupervisor supervisor;
  const auto plan = adapter.makeLaunchPlan(checked, paths, std::nullopt, {}, {});
  const auto run = adapter.launch(plan, supervisor);
  supervisor.stop(paths.profileID(), paths, 8);
  supervisor.confirmCompletion(paths.profileID(), run.runID, paths);

  // The same bytes in a new file are another installation: a new check is due.
  const std::string executable = *pathFromFileURL(checked.executableURL);
  const std::string bytes = testing::readText(executable);
  ASSERT_EQ(::unlink(executable.c_str()), 0);
  testing::makeFile(executable, 0755, bytes + "\n");
  EXPECT_EQ(adapter.inspect(bundle).compatibilityStatus,
            CodexCompatibilityStatus::unverifiedVersion);
}

// A Codex that creates nothing, and one whose bundle changes while it runs:
// neither is approved, and nothing of either run is left.
TEST_F(CodexCompatibilityTest, NoApprovalWithoutEvidenceOrForAChangedBundle) {
  struct Case_ {
    const char* program;
    bool changesBundle;
    Case expected;
  };
  for (const auto& c : {Case_{"idle-app", false, Case::compatibilityCheckFailed},
                        Case_{"codex-desktop", true, Case::installationChanged}}) {
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
      EXPECT_EQ(processesNaming(root), 0) << root;
    }
  }
}

}  // namespace
}  // namespace korvelin
