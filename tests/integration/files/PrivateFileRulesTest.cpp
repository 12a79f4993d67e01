// Every path that reads or writes one of the library's private files holds it
// to the same rules: a file with a second link or an extended ACL entry is
// refused by all of them, and left as it is.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "core/activity/ProfileActivityJournal.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/files/FilePath.h"
#include "core/process/LaunchLease.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using testing::readText;

class PrivateFileRulesTest : public ::testing::Test {
 protected:
  PrivateFileRulesTest() : base(temp.child("base")), paths(profile, base) {
    testing::makeDirectory(base);
    ProfilePreparer(temp.child("default")).prepare(paths);
  }

  // A launch lease of a run whose process is gone, which recovery removes
  // when the file itself is sound.
  std::string staleLease() {
    testing::Subprocess child({"/bin/true"});
    child.wait();
    const Uuid run = Uuid::random();
    return leaseJSON(run, 1.5, std::nullopt, std::nullopt, "starting", std::nullopt) + "\n" +
           leaseJSON(run, 1.5, child.pid(), child.pid(), "running", std::nullopt) + "\n";
  }

  testing::ScopedTempDir temp;
  Uuid profile = Uuid::random();
  std::string base;
  ProfilePaths paths;
};

bool refuses(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const KorvelinCoreError&) {
    return true;
  } catch (const ApplicationInstanceLeaseError&) {
    return true;
  }
  return false;
}

TEST_F(PrivateFileRulesTest, ASecondLinkOrAnACLEntryIsRefusedOnEveryPath) {
  const std::string lease = paths.leaseFile();
  const std::string journal =
      appendingPathComponent(paths.logs(), ProfileActivityJournal::kFileName);
  const std::string instanceLock = appendingPathComponent(base, ApplicationInstanceLease::fileName);
  const std::string state =
      appendingPathComponent(paths.root(), XrayDurableStateStore::kStateFileName);

  XrayDurableStateStore store;
  const auto writeRecord = [&] {
    store.withLockedState(paths, true,
                          [](const XrayDurableState& current, XrayDurableStateWriter& writer) {
                            XrayDurableState next = current;
                            next.status = XrayDurableState::Status::active;
                            next.capability = std::string(64, 'a');
                            writer.write(next);
                          });
  };
  const auto emptyRecord = [&] { store.withLockedState(paths, true, [](auto&, auto&) {}); };
  ProcessSupervisor supervisor;
  const ProfileActivityEvent event{.id = Uuid::random(), .profileID = profile, .detail = "x"};

  struct Path {
    const char* name;
    std::function<void()> operation;
  };
  struct Row {
    const char* file;
    std::string path;
    std::function<void()> make;  // a sound file
    std::vector<Path> paths;
  };
  const std::vector<Row> rows = {
      {".xray-state",
       state,
       emptyRecord,
       {{"locked write", writeRecord},
        {"locked read", [&] { store.read(paths); }},
        {"read-only", [&] { store.readOnly(paths); }}}},
      {".launch.lock",
       lease,
       [&] { testing::makeFile(lease, 0600, staleLease()); },
       {{"recovery check", [&] { supervisor.canRecoverStaleLease(profile, paths); }},
        {"recovery", [&] { supervisor.recoverStaleLease(profile, paths); }}}},
      {".instance.lock",
       instanceLock,
       [&] { testing::makeFile(instanceLock, 0600); },
       {{"acquire", [&] { ApplicationInstanceLease::acquire(base, temp.child("default")); }}}},
      {"activity.jsonl",
       journal,
       [&] { ProfileActivityJournal().append(event, paths); },
       {{"append", [&] { ProfileActivityJournal().append(event, paths); }},
        {"read", [&] { readProfileActivityJournal(paths, 4096); }}}},
  };
  const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> damages = {
      {"a second link",
       [&](const std::string& path) {
         ASSERT_EQ(::link(path.c_str(), temp.child("second-link").c_str()), 0);
       }},
      {"an ACL entry",
       [&](const std::string& path) {
         testing::setfacl({"-m", "u:65534:r", path});
         ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
       }},
  };
  for (const auto& row : rows) {
    for (const auto& [damage, apply] : damages) {
      SCOPED_TRACE(std::string(row.file) + " with " + damage);
      row.make();
      apply(row.path);
      const std::string before = readText(row.path);
      for (const auto& path : row.paths)
        EXPECT_TRUE(refuses(path.operation)) << path.name << " accepted it";
      EXPECT_EQ(readText(row.path), before) << "left as it was";
      ::unlink(row.path.c_str());
      ::unlink(temp.child("second-link").c_str());
    }
  }
}

}  // namespace
}  // namespace korvelin
