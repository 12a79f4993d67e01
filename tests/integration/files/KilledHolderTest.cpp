// Holders killed with SIGKILL. A store killed in the middle of a write:
// whatever moment the SIGKILL lands, a reader finds the old value or the new
// one, never a mix, and nothing the writer left behind (its temporary files
// included) is open to anyone else. The single-instance lease between real
// processes: a holder is another process that keeps the lease until it is
// killed.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "core/apps/CodexCompatibilityApprovalStore.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/youtrack/YouTrackCredentialStore.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

// Each store is written by a forked child, i = 0, 1, ..., until it is killed
// at a random moment, 30 times; after each kill a reader must find a whole
// value, and every file in the store's directory must be private.
TEST(StoreKillTest, AKilledWriterLeavesAWholeValueAndOnlyPrivateFiles) {
  testing::ScopedTempDir base, approvalsBase;
  YouTrackFileCredentialStore tokens(base.path());
  CodexCompatibilityApprovalStore approvals(approvalsBase.path(),
                                            ProfilePreparer(approvalsBase.child("default")));
  CodexInstallation codex{.bundleIdentifier = "com.openai.codex",
                          .signingTeamIdentifier = "2DC432GLL2"};
  struct Store {
    std::function<void(unsigned)> write;
    std::string directory;
    std::function<void()> intact;
  };
  const Store stores[] = {
      {[&](unsigned i) { tokens.storeToken(std::string(8000, char('a' + i % 26))); },
       base.child("Credentials/mcp.youtrack"),
       [&] {
         const auto token = tokens.readToken();  // never a mix of two tokens
         ASSERT_EQ(token.size(), 8000u);
         EXPECT_EQ(token.find_first_not_of(token.front()), std::string::npos);
       }},
      {[&](unsigned i) {
         codex.buildVersion = std::to_string(i % 40);
         approvals.approve(codex);
       },
       approvalsBase.path(), [&] { EXPECT_FALSE(approvals.load().empty()); }},
  };
  std::mt19937 random(std::random_device{}());
  for (const auto& store : stores) {
    for (int round = 0; round < 30; ++round) {
      int ready[2];
      ASSERT_EQ(::pipe(ready), 0);
      const pid_t child = ::fork();
      for (unsigned i = 0; child == 0; ++i) {
        store.write(i);
        if (i == 0)
          (void)!::write(ready[1], "w", 1);
      }
      char byte;
      ::close(ready[1]);
      ASSERT_EQ(::read(ready[0], &byte, 1), 1);
      ::close(ready[0]);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      ASSERT_NO_FATAL_FAILURE(store.intact()) << store.directory << ", round " << round;
      for (const auto& entry : std::filesystem::directory_iterator(store.directory)) {
        struct stat info {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode) && (info.st_mode & 07777) == 0600) << entry.path();
      }
    }
  }
  tokens.deleteToken();  // leaves no copy of a token behind
  EXPECT_TRUE(std::filesystem::is_empty(base.child("Credentials/mcp.youtrack")));
}

TEST(InstanceLeaseTest, AnotherProcessHoldsTheBaseUntilItIsKilled) {
  testing::ScopedTempDir temp;
  const std::string base = temp.child("base"), lockFile = base + "/.instance.lock";
  testing::makeDirectory(base);
  const auto acquire = [&] {
    return ApplicationInstanceLease::acquire(base, temp.child("default"));
  };
  testing::Subprocess holder(
      {testing::testProgramPath("instance-lease-holder"), base, temp.child("default")});
  ASSERT_TRUE(holder.waitForOutput("acquired\n", std::chrono::seconds(10))) << holder.errors();

  EXPECT_TRUE(acquire().alreadyRunning());

  // SIGKILL: no destructor runs, the kernel alone releases the lock.
  holder.signal(SIGKILL);
  ASSERT_TRUE(holder.wait(std::chrono::seconds(10)));
  auto acquisition = acquire();
  ASSERT_TRUE(acquisition.acquired());
  EXPECT_EQ(testing::modeOf(lockFile), 0600u);

  // Within one process a second acquisition is refused too, until release.
  EXPECT_TRUE(acquire().alreadyRunning());
  acquisition.lease.reset();
  EXPECT_TRUE(acquire().acquired());
  EXPECT_TRUE(testing::exists(lockFile));  // never deleted
}

}  // namespace
}  // namespace korvelin
