#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "core/base/CoreError.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/platform/SuspendedSpawn.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using testing::exists;
using testing::readText;

using platform::resumeSuspended;
using platform::spawnSuspended;
using platform::SuspendedSpawnRequest;

int waitExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST(SuspendedSpawnTest, ChildRunsNothingUntilResumed) {
  testing::ScopedTempDir dir;
  const std::string report = dir.child("report");
  const std::string program = testing::testProgramPath("probe-child");
  const pid_t pid = spawnSuspended({program, {report}, {"A=1"}});

  // Stopped at its first instruction: the new image is in place (the
  // identity names it) but it has not written its report.
  auto identity = LiveProcessIdentity::capture(pid);
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->executable, program);
  EXPECT_EQ(identity->group, pid);
  ::usleep(50'000);
  EXPECT_FALSE(exists(report));

  ASSERT_EQ(resumeSuspended(pid), 0);
  EXPECT_EQ(WEXITSTATUS(waitExit(pid)), 0);
  EXPECT_TRUE(exists(report));
}

TEST(SuspendedSpawnTest, ChildGetsOnlyStandardStreamsAndTheGivenEnvironment) {
  testing::ScopedTempDir dir;
  const std::string report = dir.child("report");
  const pid_t pid =
      spawnSuspended({testing::testProgramPath("probe-child"), {report, "0"}, {"B=2", "A=1"}});
  ASSERT_EQ(resumeSuspended(pid), 0);
  waitExit(pid);
  const std::string text = readText(report);
  std::string fds, env;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("fd ", 0) == 0) fds += line.substr(3) + ",";
    if (line.rfind("env ", 0) == 0) env += line.substr(4) + ",";
  }
  EXPECT_EQ(fds, "0,1,2,") << text;
  EXPECT_EQ(env, "B=2,A=1,") << text;
}

TEST(SuspendedSpawnTest, RejectedChildIsKilledBeforeItRuns) {
  testing::ScopedTempDir dir;
  const std::string report = dir.child("report");
  const pid_t pid = spawnSuspended({testing::testProgramPath("probe-child"), {report}, {}});
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  const int status = waitExit(pid);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_FALSE(exists(report));
}

TEST(SuspendedSpawnTest, FailuresNameTheStepAndLeaveNoChild) {
  testing::ScopedTempDir dir;
  const std::string garbage = dir.child("garbage");
  { std::ofstream(garbage) << "not a program"; }
  ::chmod(garbage.c_str(), 0755);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/nonexistent/program", "Could not launch process: No such file or directory."},
      {garbage, "Could not launch process: Exec format error."},
      {"/tmp", "Could not launch process: Permission denied."},
  };
  for (const auto& [path, description] : cases) {
    try {
      spawnSuspended({path, {}, {}});
      ADD_FAILURE() << path << " was spawned";
    } catch (const KorvelinCoreError& e) {
      EXPECT_EQ(e.errorDescription(), description) << path;
    }
  }
  // Every failed child was reaped: nothing is left to wait for.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace korvelin
