// Vendor-shaped bundles: what inspection proves of a good one, the one error
// that names what is wrong with a bad one, where Codex's backend and Claude
// Code are found, what Codex's compatibility probe refuses to approve; and
// launches that start nothing but what was verified: an executable changed
// after its plan, at any moment up to the exec, and a Claude launch whose
// authorization is refused once its child is suspended.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "core/apps/BundleInspector.h"
#include "core/apps/ClaudeCodeInstallation.h"
#include "core/apps/ClaudeInstallation.h"
#include "core/apps/CodexBundleInspector.h"
#include "core/apps/CodexCompatibilityProbe.h"
#include "core/apps/VerifiedLaunch.h"
#include "core/base/CoreError.h"
#include "core/base/HexCoding.h"
#include "core/files/FilePath.h"
#include "core/platform/Sha256.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"

namespace korvelin {
namespace {

namespace fs = std::filesystem;
using Case = KorvelinCoreError::Case;
using testing::BundleFixtures;
using testing::BundleLayout;
using testing::exists;
using testing::expectCoreError;

const ManagedApplication& chrome() {
  return *ManagedApplicationSupport::application(
      ManagedApplicationSupport::chromeAdapterIdentifier);
}

std::string inspectionError(const BundleInspector& inspector, const std::string& path) {
  return expectCoreError([&] { inspector.inspect(path); }).errorDescription();
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Runs the shell script `script` inside `directory`.
void runIn(const std::string& directory, const std::string& script) {
  const auto result = testing::run({"/bin/sh", "-c", "cd \"$0\" && " + script, directory});
  ASSERT_EQ(result.exitCode, 0) << script << ": " << result.errors;
}

// Every bundle read as signed by `team` (with no other check), or only
// `bundle`, the others read by the platform's validator.
class OtherTeam final : public CodeSignatureValidating {
 public:
  explicit OtherTeam(std::string team, std::string bundle = "")
      : team_(std::move(team)), bundle_(std::move(bundle)) {}
  CodeSignatureIdentity validateCode(const std::string& path,
                                     const std::string& requirement) const override {
    if (bundle_.empty())
      return {team_, "00"};
    auto identity = real_.validateCode(path, requirement);
    if (path == bundle_)
      identity.teamIdentifier = team_;
    return identity;
  }
  CodeSignatureIdentity validateRunningCode(std::int32_t pid,
                                            const std::string& requirement) const override {
    return real_.validateRunningCode(pid, requirement);
  }

 private:
  SecurityCodeSignatureValidator real_;
  std::string team_, bundle_;
};

class BundleInspectionTest : public ::testing::Test {
 protected:
  BundleFixtures bundles_;
  int made_ = 0;

  // A bundle of `layout` under a name of its own.
  std::string make(const BundleLayout& layout) {
    return bundles_.make(layout, "bundle" + std::to_string(++made_) + ".app");
  }
};

TEST_F(BundleInspectionTest, ProvesEveryVendorsBundleInEitherPlistFormat) {
  for (const auto& application : ManagedApplicationSupport::applications) {
    for (auto format : {BundleLayout::Format::xml, BundleLayout::Format::binary}) {
      BundleLayout layout = BundleFixtures::layoutFor(application);
      layout.format = format;
      if (format == BundleLayout::Format::binary)
        layout.plist["CFBundleDisplayName"] = "Shown Name";
      const std::string bundle = make(layout);
      const CodexInstallation installation =
          makeBundleInspector(application.adapterIdentifier)->inspect(bundle + "/");

      SCOPED_TRACE(bundle);
      const std::string executable = bundle + "/Contents/MacOS/" + layout.executableName;
      const std::string bytes = testing::readText(executable);
      const auto digest = platform::sha256(bytes.data(), bytes.size());
      struct stat info {};
      ASSERT_EQ(::stat(executable.c_str(), &info), 0);

      EXPECT_EQ(installation.bundlePath(), bundle);
      EXPECT_EQ(installation.displayName,
                format == BundleLayout::Format::binary ? "Shown Name" : layout.executableName);
      EXPECT_EQ(installation.bundleIdentifier, application.bundleIdentifier);
      EXPECT_EQ(installation.marketingVersion, "1.2.3");
      EXPECT_EQ(installation.buildVersion, "1203");
      EXPECT_EQ(installation.architectures, std::vector<std::string>{"x86_64"});
      EXPECT_EQ(installation.codeDirectoryHash,
                hexEncoded({reinterpret_cast<const char*>(digest.data()), digest.size()}));
      EXPECT_EQ(installation.executableIdentity, FileIdentity::of(info));
      EXPECT_EQ(installation.backendURL, layout.backend.empty()
                                             ? installation.executableURL
                                             : fileURLString(bundle + "/" + layout.backend, false));
      EXPECT_EQ(ManagedApplicationSupport::adapterIdentifier(installation.bundleIdentifier,
                                                             installation.signingTeamIdentifier),
                application.adapterIdentifier);
    }
  }
}

// Each bad bundle ends inspection with one error that names what is wrong:
// bundles made with one Info.plist key changed (absent: removed), and
// bundles changed by a shell script run inside them. "@" stands for the
// bundle's path.
TEST_F(BundleInspectionTest, RefusesEachBadBundleWithItsOwnError) {
  const std::string invalidPlist = "Invalid Info.plist at @/Contents/Info.plist.";
  const std::string unsigned_ = "Untrusted Codex code signature: not signed: ";
  const auto inspector = makeBundleInspector(chrome().adapterIdentifier);
  const auto check = [&](const BundleLayout& layout, const std::string& script,
                         const std::string& inspected, const std::string& expected) {
    const std::string bundle = make(layout);
    runIn(bundle, script);
    EXPECT_EQ(inspectionError(*inspector, bundle + inspected), replaced(expected, "@", bundle));
  };
  testing::makeFile(bundles_.root() + "/x", 0755);  // where an escaping executable leads
  const struct {
    const char* key;
    std::optional<std::string> value;
    std::string expected;
  } changedKeys[] = {
      {"CFBundleExecutable", {}, "Missing bundle executable: CFBundleExecutable."},
      {"CFBundleExecutable", "../../../x", "Unsafe bundle member: @/Contents/MacOS/../../../x."},
      {"CFBundleIdentifier", "com.openai.codex",
       unsigned_ + "the bundle identifier does not meet the code requirement."},
      {"CFBundleVersion", "", "Missing bundle version value: CFBundleVersion."},
      {"CFBundleShortVersionString",
       {},
       "Missing bundle version value: CFBundleShortVersionString."},
  };
  for (const auto& c : changedKeys) {
    SCOPED_TRACE(std::string(c.key) + " " + c.value.value_or("removed"));
    BundleLayout layout = BundleFixtures::layoutFor(chrome());
    c.value ? void(layout.plist[c.key] = *c.value) : void(layout.plist.erase(c.key));
    check(layout, "true", "", c.expected);
  }
  const struct {
    const char* script;
    std::string inspected;  // appended to the bundle's path
    std::string expected;
  } changedFiles[] = {
      {"ln -s \"$PWD\" \"$PWD-link.app\"", "-link.app", "Unsafe bundle member: @-link.app."},
      {"true", "-none.app", "Codex bundle not found at @-none.app."},
      {"touch \"$PWD-file.app\"", "-file.app", "Codex bundle not found at @-file.app."},
      {"rm Contents/Info.plist && mkfifo -m 600 Contents/Info.plist", "", invalidPlist},
      {"truncate -s 1G Contents/Info.plist", "", invalidPlist},
      {"echo hello >Contents/Info.plist", "", invalidPlist},
      {"echo '<plist version=\"1.0\"><array/></plist>' >Contents/Info.plist", "", invalidPlist},
      {"mv Contents Elsewhere && ln -s Elsewhere Contents", "", invalidPlist},
      {"rm Contents/MacOS/*", "", "Missing bundle executable: @/Contents/MacOS/Google Chrome."},
      {"mv Contents/MacOS/* Contents/real && ln -s ../real 'Contents/MacOS/Google Chrome'", "",
       "Unsafe bundle member: @/Contents/MacOS/Google Chrome."},
      {"chmod 775 Contents/MacOS", "",
       unsigned_ + "writable by group or others: @/Contents/MacOS."},
      {"echo '#!/bin/sh' >'Contents/MacOS/Google Chrome'", "",
       "Could not inspect executable architectures: Unsupported Mach-O magic."},
  };
  for (const auto& c : changedFiles) {
    SCOPED_TRACE(c.script);
    check(BundleFixtures::layoutFor(chrome()), c.script, c.inspected, c.expected);
  }

  // /tmp is writable by everyone: anyone could have put the bundle there.
  testing::ScopedTempDir shared;
  fs::copy(bundles_.make(BundleFixtures::layoutFor(chrome())), shared.child("Google Chrome.app"),
           fs::copy_options::recursive);
  EXPECT_EQ(inspectionError(*inspector, shared.child("Google Chrome.app")),
            unsigned_ + "writable by group or others: /tmp.");
}

TEST_F(BundleInspectionTest, TakesTheTeamAndIdentifierFromTheSignatureAndThePlist) {
  BundleLayout layout = BundleFixtures::layoutFor(chrome());
  const std::string genuine = make(layout);
  layout.plist["CFBundleIdentifier"] = "com.example.other";
  const std::string other = make(layout);
  const BundleInspector resigned(chrome(), std::make_shared<OtherTeam>("ABCDE12345"));
  const BundleInspector signedByChrome(chrome(), std::make_shared<OtherTeam>("EQHXZ8M8AV"));
  EXPECT_EQ(inspectionError(resigned, genuine),
            "Untrusted Codex code signature: unexpected team identifier ABCDE12345.");
  EXPECT_EQ(inspectionError(signedByChrome, other),
            "Unsupported bundle identifier: com.example.other.");
}

TEST_F(BundleInspectionTest, FindsCodexsBackendAtItsFirstPlaceOnlyWhenNothingIsThere) {
  const std::string first = "/Contents/Resources/codex";
  const std::string nested = "/Contents/Resources/codex-cli/CodexCLI.app/Contents/MacOS/codex";
  const struct {
    const char* name;
    std::vector<std::string> backends;  // copied in, executable
    std::string script;                 // run inside the bundle
    std::optional<Case> failure;
    std::string backend;  // inside the bundle
  } rows[] = {
      {"both", {first, nested}, "true", {}, first},
      {"nested only", {nested}, "true", {}, nested},
      {"neither", {}, "true", Case::missingBackend, nested},
      {"a link in the first place",
       {nested},
       "ln -s $PWD" + nested + " ." + first,
       Case::unsafeBundleMember,
       first},
      {"not executable", {first}, "chmod 644 ." + first, Case::bundleMemberNotExecutable, first},
  };
  auto layout = BundleFixtures::layoutFor(ManagedApplicationSupport::applications[0]);
  layout.plist["CFBundleShortVersionString"] = "26.903.61454";
  layout.plist["CFBundleVersion"] = "8378";
  layout.backend.clear();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = make(layout);
    for (const auto& backend : row.backends) {
      fs::create_directories(deletingLastPathComponent(path + backend));
      fs::copy_file(testing::testProgramPath("idle-app"), path + backend);
    }
    runIn(path, row.script);
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

TEST_F(BundleInspectionTest, ChoosesTheNewestClaudeCodeThatPassesEveryCheck) {
  const std::string home = bundles_.root() + "/home";
  const std::string versions = ClaudeCodeInstallation::versionsDirectory(home);
  EXPECT_EQ(ClaudeCodeInstallation().executable(home), std::nullopt);  // no versions directory

  BundleLayout layout;
  layout.bundleName = "claude.app";
  layout.executableName = "claude";
  layout.plist = {{"CFBundleIdentifier", "com.anthropic.claude-code"},
                  {"CFBundleExecutable", "claude"},
                  {"CFBundleShortVersionString", "2"},
                  {"CFBundleVersion", "2"}};
  const auto relative = versions.substr(bundles_.root().size() + 1);
  for (const char* version : {"2.1.9", "2.1.10", "2.2.0", "10"})
    bundles_.make(layout, relative + "/" + version + "/claude.app");
  fs::create_directories(versions + "/2.1.11");
  fs::create_symlink(versions + "/2.1.10/claude.app", versions + "/2.1.11/claude.app");
  fs::create_directories(versions + "/latest");                   // not a version
  fs::remove(versions + "/10/claude.app/Contents/MacOS/claude");  // no executable

  const ClaudeCodeInstallation code(
      std::make_shared<OtherTeam>("EQHXZ8M8AV", versions + "/2.2.0/claude.app"));
  EXPECT_EQ(code.executable(home), versions + "/2.1.10/claude.app/Contents/MacOS/claude");

  for (const auto& [a, b, order] : std::vector<std::tuple<std::string, std::string, int>>{
           {"2.1.10", "2.1.9", 1}, {"2.1.9", "2.1.9", 0}, {"2.01", "2.1", 0}, {"9", "10", -1}})
    EXPECT_EQ(ClaudeCodeInstallation::compareNumerically(a, b), order) << a << " " << b;
}

// A Codex that creates nothing, and one whose bundle changes while it runs:
// neither is approved, and nothing of either run is left. (No subreaper
// here: the stand-in's children outlive it for a moment, and orphans adopted
// by this process would stay in the group as zombies.) The approving path
// runs end to end, through `korvelin`, in RealLaunchTest.
TEST_F(BundleInspectionTest, CodexsProbeApprovesNothingWithoutEvidenceOrOfAChangedBundle) {
  std::string reason;
  const auto codex = testing::realCodexPath(reason);
  if (!codex)
    GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
  testing::ScopedTempDir base;
  ::chmod(base.path().c_str(), 0700);
  const struct {
    const char* program;
    bool changesBundle;
    Case expected;
  } cases[] = {{"idle-app", false, Case::compatibilityCheckFailed},
               {"desktop-standin", true, Case::installationChanged}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    const std::string bundle = make(BundleFixtures::uncheckedCodexLayout(c.program, *codex));
    if (c.changesBundle)
      testing::makeFile(bundle + "/Contents/Resources/change-bundle-on-start", 0644);
    const CodexCompatibilityProbe checker(base.path(), base.child("default"),
                                          c.changesBundle ? 120 : 1.5);
    const auto installation = checker.adapter().inspect(bundle);
    const auto error = expectCoreError([&] { checker.check(installation); });
    EXPECT_EQ(error.errorCase(), c.expected) << error.errorDescription();
    if (c.expected == Case::compatibilityCheckFailed) {
      EXPECT_EQ(error.errorDescription(),
                "Codex compatibility check failed: Codex did not create isolated profile evidence "
                "before the timeout.");
    }
    EXPECT_FALSE(exists(base.child("codex-compatibility.json")));
    std::error_code ignored;
    for (const auto& entry :
         fs::directory_iterator(base.child("CompatibilityChecks/Profiles"), ignored)) {
      const std::string root = entry.path();
      EXPECT_FALSE(exists(root + "/.launch.lock")) << root;
      // Chromium's crash handler runs in a session of its own, outside the
      // run's group, and names the profile's home; it ends on its own once
      // the browser is gone, which on a loaded machine takes a moment.
      EXPECT_TRUE(testing::eventually(
          [&] {
            return testing::run({"/usr/bin/pgrep", "-f", root}).exitCode != 0;
          },
          std::chrono::seconds(10)))
          << root;
    }
  }
}

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
  auto layout = BundleFixtures::layoutFor(chrome());
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
    const CodexLaunchPlan plan{BundleInspector(chrome()).inspect(bundle),
                               {executable_, {marker(), "30"}, {}, paths_, std::nullopt}};
    if (c.beforeCheck)
      (this->*c.change)();
    const TamperingInspector inspector(chrome(), [&] {
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
  // Its clock is an hour on from the issue by the time the launch consumes it.
  int reads = 0;
  ClaudeLaunchAuthorizationService expiring(
      [&] { return ClaudeLaunchAuthorization::Date{} + std::chrono::hours(reads++ == 0 ? 0 : 1); });
  ClaudeLaunchCollaborators collaborators;
  collaborators.accountHome = [&] { return std::optional(bundles_.root()); };
  collaborators.authorizer = &expiring;
  const ClaudeLaunchAdapter adapter("/nonexistent/default-base", collaborators);
  const auto plan = adapter.makeLaunchPlan(adapter.inspect(bundles_.make(layout)), paths_,
                                           std::nullopt, {}, {}, {{"BROWSER", "/bin/false"}});
  ProcessSupervisor supervisor;
  EXPECT_EQ(testing::expectCoreError([&] { adapter.launch(plan, supervisor); }).errorCase(),
            Case::claudeLaunchNotAuthorized);
  EXPECT_FALSE(exists(paths_.leaseFile()));
  EXPECT_FALSE(exists(paths_.userData() + "/started"));  // the child never ran
  EXPECT_TRUE(testing::childrenOfThisProcess().empty());
}

}  // namespace
}  // namespace korvelin
