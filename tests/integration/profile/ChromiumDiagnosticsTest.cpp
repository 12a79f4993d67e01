// What real Chromium leaves in a profile's user-data directory is what the
// diagnostics call its lock: three symbolic links, one of them dangling by
// design, none of which may be followed.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/files/FileSystemSecurity.h"
#include "core/profile/ProfileDiagnostics.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

TEST(ChromiumDiagnosticsTest, TheLinksOfARunningBrowserCountAsItsLock) {
  if (::access(kChromium, X_OK) != 0)
    GTEST_SKIP() << "real Chromium unavailable: no " << kChromium
                 << " (scripts/bootstrap installs Debian's chromium)";
  testing::ScopedSubreaper reaper;
  testing::ScopedTempDir dir;
  ::chmod(dir.path().c_str(), 0700);
  const ProfilePaths paths(Uuid::random(), dir.path());
  SecureFileSystem::prepareManagedHierarchy(paths);

  // The sandbox needs a user namespace that tests running as root do not
  // get; only tests ever pass --no-sandbox.
  testing::SubprocessOptions options;
  options.newProcessGroup = true;
  options.environment = std::vector<std::string>{"PATH=/usr/bin:/bin", "HOME=" + paths.home(),
                                                 "XDG_CONFIG_HOME=" + paths.config(),
                                                 "XDG_CACHE_HOME=" + paths.cache()};
  options.outputFile = dir.child("chromium.log");
  testing::Subprocess browser({kChromium, "--no-sandbox", "--headless=new", "--no-first-run",
                               "--user-data-dir=" + paths.userData(), "about:blank"},
                              options);

  const ProfilePreparer preparer(dir.path());
  std::string detail;
  const bool locked = testing::eventually(
      [&] {
        detail = ProfileDiagnostics::inspect(paths, preparer).checks.at(2).detail;
        return detail == "Present: SingletonCookie, SingletonLock, SingletonSocket";
      },
      std::chrono::seconds(60));
  EXPECT_TRUE(locked) << detail;
  const auto lock = SecureFileSystem::metadata(paths.userData() + "/SingletonLock");
  ASSERT_TRUE(lock);
  EXPECT_EQ(lock->kind(), FileMetadata::Kind::symbolicLink);
  // The rest of the profile is still what the diagnostics call private.
  EXPECT_EQ(ProfileDiagnostics::inspect(paths, preparer).checks.at(0).status,
            DiagnosticStatus::pass);

  ::kill(-browser.pid(), SIGKILL);
  EXPECT_TRUE(browser.wait().has_value());
}

}  // namespace
}  // namespace korvelin
