// A real process installing and removing the managed block, killed with
// SIGKILL at random moments. Whatever moment the kill hits, reconcile must
// leave config.toml exactly as the user wrote it and nothing else of ours.
// Bounded: 300 rounds or 60 seconds.

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <iostream>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "core/codex/CodexMCPConfigProvisioner.h"
#include "tests/support/CodexProfile.h"
#include "tests/support/Subprocess.h"

namespace korvelin {
namespace {

TEST(CodexMCPConfigCrashTest, ReconcileAfterAKillAnywhereGivesBackTheUsersFile) {
  testing::CodexProfile profile;
  const std::string user = "model = \"o3\"\r\n[tui]\r\nnotifications = true";
  profile.writeConfig(user);
  CodexMCPConfigProvisioner provisioner;
  std::mt19937 random(std::random_device{}());
  // Before each reconcile: the user's file, the block committed, or a
  // transaction in flight (journal or leftovers present).
  int plain = 0, withBlock = 0, inFlight = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int round = 0;
  for (; round < 300 && std::chrono::steady_clock::now() < deadline; ++round) {
    testing::Subprocess churn({testing::testProgramPath("codex-mcp-churn"),
                               profile.paths.baseDirectory(),
                               profile.paths.profileID().lowercaseString()});
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<>(2000, 40000)(random)));
    churn.signal(SIGKILL);
    const auto status = churn.wait();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFSIGNALED(*status)) << "the loop stopped by itself: " << churn.errors();

    const auto seen = provisioner.status(profile.paths);
    if (seen.journalPending || !seen.leftovers.empty())
      ++inFlight;
    else if (seen.block)
      ++withBlock;
    else
      ++plain;
    provisioner.reconcile(profile.paths);
    ASSERT_EQ(profile.configBytes(), user) << "round " << round;
    ASSERT_EQ(profile.codexEntries(), std::vector<std::string>{"config.toml"}) << "round " << round;
  }
  std::cout << round << " kills: " << plain << " found the user's file, " << withBlock
            << " the block installed, " << inFlight << " a transaction in flight\n";
  EXPECT_GT(withBlock + inFlight, 0);
}

}  // namespace
}  // namespace korvelin
