// Claude desktop and Claude Code on real bundle fixtures: which Claude Code
// version a profile is given, and a launch whose authorization is refused.

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/apps/ClaudeInstallation.h"
#include "core/base/CoreError.h"
#include "core/process/ProcessSupervisor.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

namespace fs = std::filesystem;
using Case = KorvelinCoreError::Case;

const ManagedApplication& claudeRow() {
  return managedApplication(ManagedApplicationSupport::claudeAdapterIdentifier);
}

// The platform's validator, except that one bundle reads as signed by
// another team.
class OtherTeamFor final : public CodeSignatureValidating {
 public:
  explicit OtherTeamFor(std::string bundle) : bundle_(std::move(bundle)) {}
  CodeSignatureIdentity validateCode(const std::string& path,
                                     const std::string& requirement) const override {
    auto identity = real_.validateCode(path, requirement);
    if (path == bundle_)
      identity.teamIdentifier = "EQHXZ8M8AV";
    return identity;
  }
  CodeSignatureIdentity validateRunningCode(std::int32_t pid,
                                            const std::string& requirement) const override {
    return real_.validateRunningCode(pid, requirement);
  }

 private:
  SecurityCodeSignatureValidator real_;
  std::string bundle_;
};

TEST(ClaudeCodeInstallationTest, ChoosesTheNewestVersionThatPassesEveryCheck) {
  testing::BundleFixtures fixtures;
  const std::string home = fixtures.root() + "/home";
  const std::string versions = ClaudeCodeInstallation::versionsDirectory(home);
  EXPECT_EQ(ClaudeCodeInstallation().executable(home), std::nullopt);  // no versions directory

  testing::BundleLayout layout;
  layout.bundleName = "claude.app";
  layout.executableName = "claude";
  layout.plist = {{"CFBundleIdentifier", "com.anthropic.claude-code"},
                  {"CFBundleExecutable", "claude"},
                  {"CFBundleShortVersionString", "2"},
                  {"CFBundleVersion", "2"}};
  const auto relative = versions.substr(fixtures.root().size() + 1);
  for (const char* version : {"2.1.9", "2.1.10", "2.2.0", "10"})
    fixtures.make(layout, relative + "/" + version + "/claude.app");
  fs::create_directories(versions + "/2.1.11");
  fs::create_symlink(versions + "/2.1.10/claude.app", versions + "/2.1.11/claude.app");
  fs::create_directories(versions + "/latest");                   // not a version
  fs::remove(versions + "/10/claude.app/Contents/MacOS/claude");  // no executable

  const ClaudeCodeInstallation code(std::make_shared<OtherTeamFor>(versions + "/2.2.0/claude.app"));
  EXPECT_EQ(code.executable(home), versions + "/2.1.10/claude.app/Contents/MacOS/claude");

  for (const auto& [a, b, order] : std::vector<std::tuple<std::string, std::string, int>>{
           {"2.1.10", "2.1.9", 1}, {"2.1.9", "2.1.9", 0}, {"2.01", "2.1", 0}, {"9", "10", -1}})
    EXPECT_EQ(ClaudeCodeInstallation::compareNumerically(a, b), order) << a << " " << b;
}

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

TEST(ClaudeLaunchTest, ARefusedAuthorizationKillsTheSuspendedChildAndLeavesNoLease) {
  testing::ScopedSubreaper reaper;
  testing::BundleFixtures fixtures;
  auto layout = testing::BundleFixtures::layoutFor(claudeRow());
  layout.program = "desktop-standin";
  const std::string bundle = fixtures.make(layout);
  testing::ScopedTempDir base;
  ::chmod(base.path().c_str(), 0700);
  const ProfilePaths paths(Uuid::random(), base.path());
  ProfilePreparer("/nonexistent/default-base").prepare(paths);

  RefusingConsumption refusing;
  ClaudeLaunchCollaborators collaborators;
  collaborators.accountHome = [&] { return std::optional(fixtures.root()); };
  collaborators.authorizer = &refusing;
  const ClaudeLaunchAdapter adapter("/nonexistent/default-base", collaborators);
  const auto plan = adapter.makeLaunchPlan(adapter.inspect(bundle), paths, std::nullopt, {}, {},
                                           {{"BROWSER", "/bin/false"}});
  ProcessSupervisor supervisor;
  EXPECT_EQ(testing::errorCaseOf([&] { adapter.launch(plan, supervisor); }),
            Case::claudeLaunchNotAuthorized);
  EXPECT_FALSE(fs::exists(paths.leaseFile()));
  EXPECT_FALSE(fs::exists(paths.userData() + "/standin.json"));  // the child never ran
  EXPECT_TRUE(testing::childrenOfThisProcess().empty());
}

}  // namespace
}  // namespace korvelin
