#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "core/apps/VerifiedLaunch.h"
#include "core/base/CoreError.h"
#include "core/profile/ProfilePaths.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using testing::BundleFixtures;

// Runs `tamper` right after the inspection that precedes the spawn, so that
// the file changes between that check and the exec.
class TamperingInspector : public BundleInspector {
 public:
  TamperingInspector(const ManagedApplication& application, std::function<void()> tamper)
      : BundleInspector(application), tamper_(std::move(tamper)) {}
  CodexInstallation inspect(const std::string& bundle) const override {
    CodexInstallation found = BundleInspector::inspect(bundle);
    tamper_();
    return found;
  }

 private:
  std::function<void()> tamper_;
};

class VerifiedLaunchTest : public ::testing::Test {
 public:
  void SetUp() override {
    ::chmod(base_.path().c_str(), 0700);
    ProfilePreparer(paths_.baseDirectory()).prepare(paths_);
    // Both programs write the marker when they run: the bundle's one and
    // its replacement differ only in padding, and have the same size.
    original_ = padded(0);
    replacement_ = padded(1);
    auto layout = BundleFixtures::layoutFor(chrome_);
    layout.program = "probe-child";
    bundle_ = bundles_.make(layout);
    executable_ = bundle_ + "/Contents/MacOS/" + layout.executableName;
    std::ofstream(executable_, std::ios::binary | std::ios::trunc) << original_;
    installation_ = BundleInspector(chrome_).inspect(bundle_);
  }

  static std::string padded(char filler) {
    std::ifstream in(testing::testProgramPath("probe-child"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    return bytes + std::string(4096, filler);
  }

  CodexLaunchPlan plan() const {
    return {installation_,
            ProcessLaunchPlan{executable_, {marker(), "30"}, {}, paths_, std::nullopt}};
  }

  std::string marker() const { return base_.child("marker"); }

  // The same bytes written over the executable by rename (a new file).
  void swapExecutable() const {
    const std::string next = executable_ + ".next";
    std::ofstream(next, std::ios::binary) << replacement_;
    ::chmod(next.c_str(), 0755);
    std::filesystem::rename(next, executable_);
  }

  // The same file rewritten in place, its size and times kept, so that its
  // identity is unchanged and only its bytes tell.
  void rewriteExecutable() const {
    struct stat before {};
    ::stat(executable_.c_str(), &before);
    const int fd = ::open(executable_.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, replacement_.data(), replacement_.size(), 0),
              static_cast<ssize_t>(replacement_.size()));
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ::futimens(fd, times);
    ::close(fd);
  }

  testing::ScopedSubreaper reaper_;
  const ManagedApplication& chrome_ =
      *ManagedApplicationSupport::application(ManagedApplicationSupport::chromeAdapterIdentifier);
  testing::ScopedTempDir base_;
  BundleFixtures bundles_;
  Uuid id_ = Uuid::random();
  ProfilePaths paths_{id_, base_.path()};
  std::string original_, replacement_, bundle_, executable_;
  CodexInstallation installation_;
};

TEST_F(VerifiedLaunchTest, NeverRunsAnExecutableChangedAfterThePlan) {
  const struct {
    const char* name;
    bool beforeCheck;  // else between the check before the spawn and the exec
    void (VerifiedLaunchTest::*change)() const;
  } cases[] = {
      {"swapped before the check", true, &VerifiedLaunchTest::swapExecutable},
      {"rewritten in place before the check", true, &VerifiedLaunchTest::rewriteExecutable},
      {"swapped between the check and the exec", false, &VerifiedLaunchTest::swapExecutable},
      {"rewritten in place between the check and the exec", false,
       &VerifiedLaunchTest::rewriteExecutable},
  };
  for (const auto& c : cases) {
    std::ofstream(executable_, std::ios::binary | std::ios::trunc) << original_;
    installation_ = BundleInspector(chrome_).inspect(bundle_);
    if (c.beforeCheck)
      (this->*c.change)();
    const TamperingInspector inspector(chrome_, [&] {
      if (!c.beforeCheck)
        (this->*c.change)();
    });
    ProcessSupervisor supervisor;
    const auto error =
        testing::expectCoreError([&] { launchVerified(plan(), inspector, supervisor); });
    EXPECT_EQ(error.errorCase(), KorvelinCoreError::Case::installationChanged) << c.name;
    EXPECT_FALSE(testing::exists(marker())) << c.name;
    EXPECT_FALSE(testing::exists(paths_.leaseFile())) << c.name;
  }
}

}  // namespace
}  // namespace korvelin
