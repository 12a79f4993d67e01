#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "core/platform/SuspendedSpawn.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using platform::spawnSuspended;

TEST(SuspendedSpawnTest, FailuresNameTheStepAndLeaveNoChild) {
  testing::ScopedTempDir dir;
  const std::string garbage = dir.child("garbage");
  { std::ofstream(garbage) << "not a program"; }
  ::chmod(garbage.c_str(), 0755);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/nonexistent/program", "No such file or directory"},
      {garbage, "Exec format error"},
      {"/tmp", "Permission denied"},
  };
  for (const auto& [path, failure] : cases) {
    const auto result = spawnSuspended({path, {}, {}});
    EXPECT_EQ(result.pid, -1) << path;
    EXPECT_EQ(result.failure, failure) << path;
  }
  // Every failed child was reaped: nothing is left to wait for.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace korvelin
