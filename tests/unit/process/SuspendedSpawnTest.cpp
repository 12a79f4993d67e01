#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "core/base/CoreError.h"
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
