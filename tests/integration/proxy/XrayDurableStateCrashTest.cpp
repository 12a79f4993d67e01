// Writers of the durable sidecar record killed with SIGKILL in the middle of
// a write, and writers in several processes at once.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/files/FilePath.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/XrayStateRecords.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::recordForSequence;
using testing::Subprocess;
using testing::testProgramPath;

const Uuid kProfile = *Uuid::parse("3E1C5A7B-9D2F-4C6E-8A0B-1D3F5E7A9C2B");

class XrayDurableStateCrashTest : public ::testing::Test {
 protected:
  XrayDurableStateCrashTest() : base(temp.child("base")), paths(kProfile, base) {
    testing::makeDirectory(base);
    ProfilePreparer(temp.child("default")).prepare(paths);
  }

  std::vector<std::string> writer(const std::string& mode, int count) const {
    return {testProgramPath("xray-state-writer"), mode, base, kProfile.uppercaseString(),
            std::to_string(count)};
  }

  // The sequence the stored record was written as, checking that the record
  // is exactly the one written then.
  std::uint64_t storedSequence() {
    const auto state = XrayDurableStateStore().readOnly(paths);
    const auto sequence = static_cast<std::uint64_t>(state.guardianPID.value_or(0));
    EXPECT_EQ(state, recordForSequence(kProfile, sequence));
    return sequence;
  }

  // What a power loss could leave of a page whose write had not been synced:
  // one 4 KiB block of it still holds older bytes.
  void tearPage(std::uint64_t sequence, int block) {
    const off_t offset = static_cast<off_t>(sequence % 2) * XrayStatePage::kSize + block * 4096;
    ASSERT_TRUE(testing::overwriteState(paths, offset, std::string(4096, '\x5a')));
  }

  static std::uint64_t lastConfirmed(const std::string& output, std::uint64_t before) {
    const auto at = output.rfind("confirmed ");
    return at == std::string::npos ? before : std::strtoull(output.c_str() + at + 10, nullptr, 10);
  }

  testing::ScopedTempDir temp;
  std::string base;
  ProfilePaths paths;
};

TEST_F(XrayDurableStateCrashTest, AKilledWriterLeavesTheLastConfirmedRecordOrTheOneInFlight) {
  // Past the first update after bootstrap, which has no older page to fall back on.
  ASSERT_EQ(testing::run(writer("write", 2)).exitCode, 0);
  // No fault point: the kill comes from outside, at whatever the writer is doing.
  const std::optional<std::string> points[] = {"page.beforeWrite", "page.afterWrite",
                                               "page.afterSync", std::nullopt};
  for (int i = 0; i < 48; ++i) {
    const auto& point = points[i % 4];
    const bool torn = (i / 4) % 2 == 1;
    const std::uint64_t before = storedSequence();
    const std::uint64_t target = before + 1 + i % 3;
    SCOPED_TRACE(point.value_or("outside") + " at " + std::to_string(target) +
                 (torn ? ", torn" : ""));

    auto argv = writer("write", 0);
    if (point)
      argv.insert(argv.end(), {*point, std::to_string(target)});
    Subprocess child(argv);
    if (!point) {
      ASSERT_TRUE(child.waitForOutput("confirmed " + std::to_string(target) + "\n", 30s))
          << child.errors();
      child.signal(SIGKILL);
    }
    const auto status = child.wait(30s);
    ASSERT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << child.errors();
    const std::uint64_t confirmed = lastConfirmed(child.output(), before);
    if (point) {
      ASSERT_EQ(confirmed, target - 1);
    }

    if (torn)
      tearPage(confirmed + 1, i % 4);
    const std::uint64_t stored = storedSequence();
    if (point)
      EXPECT_EQ(stored, *point != "page.beforeWrite" && !torn ? confirmed + 1 : confirmed);
    else
      EXPECT_TRUE(stored == confirmed || (stored == confirmed + 1 && !torn))
          << stored << " after " << confirmed;
  }
}

// A bootstrap killed at any point is finished by the next locked access; a
// sized file of zero bytes already reads as the empty record.
TEST_F(XrayDurableStateCrashTest, AKilledBootstrapIsFinishedByTheNextAccess) {
  const std::tuple<const char*, int, bool> points[] = {{"bootstrap.markerCreated", 0, false},
                                                       {"bootstrap.stateCreated", 1, false},
                                                       {"bootstrap.stateSized", 1, true},
                                                       {"page.beforeWrite", 1, true}};
  for (const auto& [point, sequence, sized] : points) {
    SCOPED_TRACE(point);
    const ProfilePaths fresh(Uuid::random(), base);
    ProfilePreparer(temp.child("default")).prepare(fresh);
    auto argv = writer("write", 1);
    argv[3] = fresh.profileID().uppercaseString();
    argv.insert(argv.end(), {point, std::to_string(sequence)});
    ASSERT_EQ(testing::run(argv).exitCode, -1);

    const auto empty = XrayDurableState::emptyRecord(fresh.profileID());
    XrayDurableStateStore store;
    if (sized) {
      EXPECT_EQ(store.readOnly(fresh), empty);
    }
    const auto locked = store.read(fresh);  // without bootstrap
    EXPECT_EQ(locked.value_or(empty), empty);
    argv.resize(5);
    ASSERT_EQ(testing::run(argv).exitCode, 0);
    EXPECT_EQ(store.readOnly(fresh), recordForSequence(fresh.profileID(), 2));
  }
}

TEST_F(XrayDurableStateCrashTest, WritersInSeveralProcessesNeverLoseAnUpdate) {
  constexpr int kEach = 40;
  ASSERT_EQ(testing::run(writer("increment", 1)).exitCode, 0);
  Subprocess first(writer("increment", kEach));
  Subprocess second(writer("increment", kEach));
  XrayDurableStateStore store;
  for (int i = 0; i < kEach; ++i)
    store.withLockedState(paths, false,
                          [](const XrayDurableState& current, XrayDurableStateWriter& writer) {
                            XrayDurableState next = current;
                            next.guardianPID = current.guardianPID.value_or(0) + 1;
                            writer.write(next);
                          });
  for (auto* child : {&first, &second}) {
    const auto status = child->wait(60s);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << child->errors();
  }
  EXPECT_EQ(store.read(paths)->guardianPID, 1 + 3 * kEach);
}

}  // namespace
}  // namespace korvelin
