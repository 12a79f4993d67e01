// Launches that start nothing but what was verified: an executable changed
// after its plan, at any moment up to the exec, and a Claude launch whose
// authorization is refused once its child is suspended.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "core/apps/ClaudeInstallation.h"
#include "core/apps/VerifiedLaunch.h"
#include "core/base/CoreError.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/Subprocess.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using testing::BundleFixtures;
using testing::exists;

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

// Answers issue with the real service and refuses the managed consumption.
class RefusingConsumption final : public ClaudeLaunchAuthorizing {
 public:
  ClaudeLaunchAuthorization issue(const Uuid& profileID,
                                  const CodexInstallation& installation) override {
    return service_.issue(profileID, installation);
  }
  void consumeForManagedLaunch(const ClaudeLaunchAuthorization&) override {
    throw KorvelinCoreError::claudeLaunchNotAuthorized("authorization replayed");
  }
  ClaudeLaunchDecision evaluate(const ClaudeExecFacts& facts,
                                ClaudeLaunchAuthorization::Date now) override {
    return service_.evaluate(facts, now);
  }
  void setEnforcementActive(bool active) override { service_.setEnforcementActive(active); }

 private:
  ClaudeLaunchAuthorizationService service_;
};

class VerifiedLaunchTest : public ::testing::Test {
 public:
  void SetUp() override {
    ::chmod(base_.path().c_str(), 0700);
    ProfilePreparer(paths_.baseDirectory()).prepare(paths_);
  }

  // The program the bundle's executable was made from, padded with `filler`:
  // both fillers make programs of the same size that write the marker.
  static std::string padded(char filler) {
    return testing::readText(testing::testProgramPath("probe-child")) + std::string(4096, filler);
  }

  std::string marker() const { return base_.child("marker"); }

  // The same bytes written over the executable by rename (a new file).
  void swapExecutable() const {
    testing::makeFile(executable_ + ".next", 0755, padded(1));
    std::filesystem::rename(executable_ + ".next", executable_);
  }

  // The same file rewritten in place, its size and times kept, so that its
  // identity is unchanged and only its bytes tell.
  void rewriteExecutable() const {
    struct stat before {};
    ::stat(executable_.c_str(), &before);
    const std::string replacement = padded(1);
    const int fd = ::open(executable_.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, replacement.data(), replacement.size(), 0),
              static_cast<ssize_t>(replacement.size()));
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ::futimens(fd, times);
    ::close(fd);
  }

  testing::ScopedSubreaper reaper_;
  testing::ScopedTempDir base_;
  BundleFixtures bundles_;
  ProfilePaths paths_{Uuid::random(), base_.path()};
  std::string executable_;
};

TEST_F(VerifiedLaunchTest, NeverRunsAnExecutableChangedAfterThePlan) {
  const ManagedApplication& chrome =
      *ManagedApplicationSupport::application(ManagedApplicationSupport::chromeAdapterIdentifier);
  auto layout = BundleFixtures::layoutFor(chrome);
  const std::string bundle = bundles_.make(layout);
  executable_ = bundle + "/Contents/MacOS/" + layout.executableName;
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
    SCOPED_TRACE(c.name);
    std::filesystem::remove(executable_);
    testing::makeFile(executable_, 0755, padded(0));
    const CodexLaunchPlan plan{BundleInspector(chrome).inspect(bundle),
                               {executable_, {marker(), "30"}, {}, paths_, std::nullopt}};
    if (c.beforeCheck)
      (this->*c.change)();
    const TamperingInspector inspector(chrome, [&] {
      if (!c.beforeCheck)
        (this->*c.change)();
    });
    ProcessSupervisor supervisor;
    const auto error =
        testing::expectCoreError([&] { launchVerified(plan, inspector, supervisor); });
    EXPECT_EQ(error.errorCase(), Case::installationChanged);
    EXPECT_FALSE(exists(marker()));
    EXPECT_FALSE(exists(paths_.leaseFile()));
  }
}

TEST_F(VerifiedLaunchTest, ARefusedClaudeAuthorizationKillsTheSuspendedChildAndLeavesNoLease) {
  auto layout = BundleFixtures::layoutFor(
      managedApplication(ManagedApplicationSupport::claudeAdapterIdentifier));
  layout.program = "desktop-standin";
  RefusingConsumption refusing;
  ClaudeLaunchCollaborators collaborators;
  collaborators.accountHome = [&] { return std::optional(bundles_.root()); };
  collaborators.authorizer = &refusing;
  const ClaudeLaunchAdapter adapter("/nonexistent/default-base", collaborators);
  const auto plan = adapter.makeLaunchPlan(adapter.inspect(bundles_.make(layout)), paths_,
                                           std::nullopt, {}, {}, {{"BROWSER", "/bin/false"}});
  ProcessSupervisor supervisor;
  EXPECT_EQ(testing::expectCoreError([&] { adapter.launch(plan, supervisor); }).errorCase(),
            Case::claudeLaunchNotAuthorized);
  EXPECT_FALSE(exists(paths_.leaseFile()));
  EXPECT_FALSE(exists(paths_.userData() + "/standin.json"));  // the child never ran
  EXPECT_TRUE(testing::childrenOfThisProcess().empty());
}

}  // namespace
}  // namespace korvelin
