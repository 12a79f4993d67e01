// Stores killed in the middle of a write: whatever moment the SIGKILL lands,
// a reader finds the old value or the new one, never a mix, and nothing the
// writer left behind (its temporary files included) is open to anyone else.

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "core/apps/CodexCompatibilityApprovalStore.h"
#include "core/youtrack/YouTrackCredentialStore.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;

// Kills a `store-writer` of `store` at a random moment, `rounds` times, and
// after each kill checks what a reader finds with `intact`, then that every
// file in `directory` is private.
void killMidWrite(const testing::ScopedTempDir& base,
                  const std::string& store,
                  const std::string& directory,
                  const std::function<void()>& intact) {
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 30; ++round) {
    testing::Subprocess writer({testing::testProgramPath("store-writer"), store, base.path()});
    ASSERT_TRUE(writer.waitForOutput("writing", 10s)) << writer.errors();
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    writer.signal(SIGKILL);
    writer.wait();
    ASSERT_NO_FATAL_FAILURE(intact()) << "round " << round;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      struct stat info {};
      ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
      EXPECT_TRUE(S_ISREG(info.st_mode) && (info.st_mode & 07777) == 0600) << entry.path();
    }
  }
}

TEST(StoreKillTest, TheTokenIsAlwaysOneWholeToken) {
  testing::ScopedTempDir base;
  YouTrackFileCredentialStore store(base.path());
  killMidWrite(base, "token", base.child("Credentials/mcp.youtrack"), [&] {
    const auto token = store.readToken();
    ASSERT_EQ(token.size(), 8000u);
    EXPECT_EQ(token.find_first_not_of(token.front()), std::string::npos);
  });
  // Deleting the token leaves no copy of one behind.
  store.deleteToken();
  std::vector<std::string> left;
  for (const auto& entry :
       std::filesystem::directory_iterator(base.child("Credentials/mcp.youtrack")))
    left.push_back(entry.path().filename());
  EXPECT_TRUE(left.empty()) << left.front();
}

TEST(StoreKillTest, TheCodexApprovalsAlwaysLoad) {
  testing::ScopedTempDir base;
  CodexCompatibilityApprovalStore store(base.path(), ProfilePreparer(base.child("default")));
  killMidWrite(base, "approvals", base.path(), [&] { EXPECT_FALSE(store.load().empty()); });
}

}  // namespace
}  // namespace korvelin
