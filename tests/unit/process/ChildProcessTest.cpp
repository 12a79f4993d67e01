#include "core/process/ChildProcess.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "tests/support/ProcessHelpers.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

// A program that cannot run is refused at launch with the exec's reason, on
// the usual path and on the one tied to this process, and leaves no child.
TEST(ChildProcessTest, UnrunnableProgramFailsWithTheExecError) {
  testing::ScopedTempDir directory;
  struct Case {
    std::string name;
    std::string path;
    int error;
  };
  const std::vector<Case> cases = {
      {"missing", directory.child("absent"), ENOENT},
      {"a directory", directory.path(), EACCES},
  };
  for (const auto& c : cases) {
    for (bool endWithParent : {false, true}) {
      SCOPED_TRACE(c.name + (endWithParent ? ", ending with parent" : ""));
      const auto before = testing::childrenOfThisProcess();
      ChildProcess child;
      errno = 0;
      EXPECT_FALSE(child.launch(c.path, {}, {}, -1, -1, false, endWithParent));
      EXPECT_EQ(errno, c.error);
      EXPECT_EQ(testing::childrenOfThisProcess(), before);
    }
  }
}

}  // namespace
}  // namespace korvelin
