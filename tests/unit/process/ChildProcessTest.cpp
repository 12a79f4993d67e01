#include "core/process/ChildProcess.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "core/platform/SuspendedSpawn.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

// A program that cannot run is refused with the exec's reason, by both ways
// of starting one (the second also on the path tied to this process), and
// leaves no child behind.
TEST(ChildProcessTest, UnrunnableProgramFailsWithTheExecErrorAndLeavesNoChild) {
  testing::ScopedTempDir directory;
  testing::makeFile(directory.child("garbage"), 0755, "not a program");
  const struct {
    std::string path;
    int error;
  } cases[] = {
      {directory.child("absent"), ENOENT},
      {directory.path(), EACCES},
      {directory.child("garbage"), ENOEXEC},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto before = testing::childrenOfThisProcess();
    const auto suspended = platform::spawnSuspended({c.path, {}, {}});
    EXPECT_EQ(suspended.pid, -1);
    EXPECT_EQ(suspended.failure, std::strerror(c.error));
    for (bool endWithParent : {false, true}) {
      ChildProcess child;
      errno = 0;
      EXPECT_FALSE(child.launch(c.path, {}, {}, -1, -1, false, endWithParent)) << endWithParent;
      EXPECT_EQ(errno, c.error) << endWithParent;
    }
    EXPECT_EQ(testing::childrenOfThisProcess(), before);
  }
}

}  // namespace
}  // namespace korvelin
