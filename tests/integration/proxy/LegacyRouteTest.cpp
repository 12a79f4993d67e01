// A sidecar recorded by an earlier core (no protocol version), whose
// guardian cannot be asked: the restarted host proves its route from the
// outside. The guardian and the real engine run from an application bundle
// laid out as installed, in a private directory, serving an application
// started under supervision.

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/activity/ProfileRuntimeObserver.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/process/ProcessSupervisor.h"
#include "core/proxy/XraySidecarSupervisor.h"
#include "tests/support/GuardianHarness.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin::testing {
namespace {

namespace fs = std::filesystem;

// A private directory in the home directory: unlike /tmp, nothing above it
// is writable by others, so the executables inside count as installed.
class PrivateDirectory {
 public:
  PrivateDirectory()
      : path_(fs::path(std::getenv("HOME")) / ".cache" /
              ("korvelin-test-" + Uuid::random().lowercaseString())) {
    fs::create_directories(path_);
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::replace);
  }
  ~PrivateDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Korvelin.app/Contents/Resources/{korvelin-xray-guardian,xray} under `base`.
std::string layOutBundle(const fs::path& base, const std::string& xray) {
  const fs::path resources = base / "Korvelin.app" / "Contents" / "Resources";
  fs::create_directories(resources);
  for (fs::path at = resources; at != base; at = at.parent_path())
    fs::permissions(at,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::replace);
  fs::copy_file(guardianPath(), resources / "korvelin-xray-guardian");
  fs::copy_file(xray, resources / "xray");
  return fs::canonical(resources).string();
}

TEST(LegacyRouteTest, AnOlderSidecarIsProvedFromTheOutside) {
  ::signal(SIGPIPE, SIG_IGN);
  std::string reason;
  const auto xray = realXrayPath(reason);
  if (!xray)
    GTEST_SKIP() << "real Xray unavailable: " << reason;
  PrivateDirectory installed;
  const std::string resources = layOutBundle(installed.path(), *xray);
  ScopedTempDir temp;
  ::chmod(temp.path().c_str(), 0700);
  const Uuid id = Uuid::random(), connection = Uuid::random(), generation = Uuid::random();
  const ProfilePaths paths(id, temp.path());
  ProfilePreparer(temp.path()).prepare(paths);

  const std::uint16_t port = unusedLoopbackPort();
  const std::string socketPath = guardianSocketPath(generation), capability = randomCapability();
  Subprocess guardian({resources + "/korvelin-xray-guardian", "--xray", resources + "/xray",
                       "--socket", socketPath},
                      {.keepStdinOpen = true});
  guardian.writeStdin(Activation{capability, engineConfiguration(port), generation}.encode() +
                      "\n");
  ASSERT_TRUE(guardian.waitForOutput("\n", std::chrono::seconds(10))) << guardian.errors();
  ASSERT_TRUE(eventually([&] {
    return XraySidecarSupervisor::lsofListenerVerifier(
        *parseReadyLine(guardian.output().substr(0, guardian.output().find('\n'))), port);
  }));

  XrayDurableState record;
  record.status = XrayDurableState::Status::active;
  record.profileID = id;
  record.connectionID = connection;
  record.generation = generation;
  record.guardianPID = guardian.pid();
  record.loopbackPort = port;
  record.socketPath = socketPath;
  record.capability = capability;
  XrayDurableStateStore().withLockedState(paths, true,
                                          [&](const auto&, auto& writer) { writer.write(record); });

  ProcessSupervisor applications;
  const auto started =
      applications.start(id,
                         {testProgramPath("idle-app"),
                          {"--user-data-dir=" + paths.userData(),
                           "--proxy-server=socks5://127.0.0.1:" + std::to_string(port)},
                          {},
                          paths,
                          std::nullopt},
                         nullptr, nullptr);
  const auto run = ProfileRuntimeObserver().observeWithRoute(
      paths, fs::canonical(testProgramPath("idle-app")).string());
  const XraySidecarSupervisor restarted(nullptr, nullptr,
                                        &XraySidecarSupervisor::lsofListenerVerifier, nullptr);

  const auto observed =
      restarted.observeRestoredProxyRoute(paths, connection, run.snapshot, run.rootIdentity);
  EXPECT_EQ(observed.status, RestoredProxyStatus::available);
  EXPECT_EQ(observed.usageRoute,
            ProfileUsageRoute::proxy({ProfileProxyScheme::socks5, "127.0.0.1", port}, generation));
  ASSERT_TRUE(observed.legacyIdentity);
  EXPECT_EQ(observed.legacyIdentity->guardian.pid, guardian.pid());
  EXPECT_EQ(observed.legacyIdentity->child.executable, resources + "/xray");
  EXPECT_EQ(observed.xrayIdentity, observed.legacyIdentity->child);

  // Executables a group may replace are not the installed ones.
  ::chmod(resources.c_str(), 0775);
  EXPECT_EQ(
      restarted.observeRestoredProxyRoute(paths, connection, run.snapshot, run.rootIdentity).status,
      RestoredProxyStatus::unverified);
  ::chmod(resources.c_str(), 0755);

  applications.stop(id, paths, 10);
  guardian.closeStdin();
}

}  // namespace
}  // namespace korvelin::testing
