// The single-instance lease between real processes: a holder is another
// process that keeps the lease until it is killed.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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
using testing::makeFile;
using testing::makeSymlink;
using testing::modeOf;
using testing::openDescriptorCount;
using testing::setfacl;
using testing::Subprocess;
using testing::testProgramPath;

constexpr const char* kPrefix = "Korvelin could not establish single-instance ownership: ";

class InstanceLeaseTest : public ::testing::Test {
 protected:
  InstanceLeaseTest() : base(temp.child("base")), lockFile(base + "/.instance.lock") {
    makeDirectory(base);
  }

  ApplicationInstanceAcquisition acquire() {
    return ApplicationInstanceLease::acquire(base, temp.child("default"));
  }

  std::string refusal() {
    const int before = openDescriptorCount();
    try {
      acquire();
    } catch (const ApplicationInstanceLeaseError& e) {
      EXPECT_EQ(openDescriptorCount(), before);
      EXPECT_EQ(e.errorDescription(), kPrefix + e.detail());
      return e.detail();
    }
    ADD_FAILURE() << "acquired";
    return "";
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

TEST_F(InstanceLeaseTest, UnsafeLockFilesAreRefusedAndLeftAsTheyAre) {
  const std::tuple<const char*, std::function<void()>, std::string> setups[] = {
      {"mode 0644", [&] { makeFile(lockFile, 0644); }, "expected mode 600, got 644: " + lockFile},
      {"symbolic link",
       [&] {
         makeFile(base + "/target", 0600);
         makeSymlink(base + "/target", lockFile);
       },
       "could not open .instance.lock: Too many levels of symbolic links"},
      {"directory", [&] { makeDirectory(lockFile); },
       "could not open .instance.lock: Is a directory"},
      {"fifo", [&] { ASSERT_EQ(::mkfifo(lockFile.c_str(), 0600), 0); },
       "lease is not a regular file: " + lockFile},
      {"another user's",
       [&] {
         makeFile(lockFile);
         ASSERT_EQ(::chown(lockFile.c_str(), 65534, 65534), 0);
       },
       "lease is owned by uid 65534: " + lockFile},
      {"ACL entry",
       [&] {
         makeFile(lockFile);
         setfacl({"-m", "u:65534:r,m::---", lockFile});
       },
       "extended ACL is not allowed: " + lockFile},
  };
  for (const auto& [name, make, detail] : setups) {
    SCOPED_TRACE(name);
    ::unlink(lockFile.c_str());
    ::rmdir(lockFile.c_str());
    make();
    auto before = SecureFileSystem::metadata(lockFile);
    EXPECT_EQ(refusal(), detail);
    EXPECT_EQ(SecureFileSystem::metadata(lockFile), before);  // not repaired, not replaced
  }
}

}  // namespace
}  // namespace korvelin
