// The single-instance lease between real processes: a holder is another
// process that keeps the lease until it is killed.

#include <signal.h>

#include <gtest/gtest.h>

#include "core/files/ApplicationInstanceLease.h"
#include "core/files/FileSystemSecurity.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::exists;
using testing::makeDirectory;
using testing::modeOf;
using testing::Subprocess;
using testing::testProgramPath;

class InstanceLeaseTest : public ::testing::Test {
 protected:
  InstanceLeaseTest() : base(temp.child("base")), lockFile(base + "/.instance.lock") {
    makeDirectory(base);
  }

  ApplicationInstanceAcquisition acquire() {
    return ApplicationInstanceLease::acquire(base, temp.child("default"));
  }

  testing::ScopedTempDir temp;
  std::string base;
  std::string lockFile;
};

TEST_F(InstanceLeaseTest, AnotherProcessHoldsTheBaseUntilItIsKilled) {
  Subprocess holder({testProgramPath("instance-lease-holder"), base, temp.child("default")});
  ASSERT_TRUE(holder.waitForOutput("acquired\n", 10s)) << holder.errors();

  EXPECT_TRUE(acquire().alreadyRunning());

  // SIGKILL: no destructor runs, the kernel alone releases the lock.
  holder.signal(SIGKILL);
  ASSERT_TRUE(holder.wait(10s));
  auto acquisition = acquire();
  ASSERT_TRUE(acquisition.acquired());
  EXPECT_EQ(modeOf(lockFile), 0600u);

  // Within one process a second acquisition is refused too, until release.
  EXPECT_TRUE(acquire().alreadyRunning());
  acquisition.lease.reset();
  EXPECT_TRUE(acquire().acquired());
  EXPECT_TRUE(exists(lockFile));  // never deleted
}

}  // namespace
}  // namespace korvelin
