// The library's private files. Every path that reads or writes one holds it
// to the same rules: anything but a 0600 regular file of this user with one
// link and no extended ACL entry is refused by all of them, without blocking
// on a FIFO, without leaking a descriptor, and left as it is. Their holders
// killed with SIGKILL: a store killed in the middle of a write leaves the old
// value or the new one, never a mix, and nothing the writer left behind (its
// temporary files included) is open to anyone else; the single-instance lease
// is held by another process until it is killed.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "core/activity/ProfileActivityJournal.h"
#include "core/apps/CodexCompatibilityApprovalStore.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/files/FilePath.h"
#include "core/process/LaunchLease.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileRepository.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "core/youtrack/YouTrackCredentialStore.h"
#include "tests/support/CatalogFixtures.h"
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

// True when `operation` refused, leaving no descriptor open.
bool refuses(const std::function<void()>& operation) {
  const int before = testing::openDescriptorCount();
  bool refused = false;
  try {
    operation();
  } catch (const KorvelinCoreError&) {
    refused = true;
  } catch (const ApplicationInstanceLeaseError&) {
    refused = true;
  }
  EXPECT_EQ(testing::openDescriptorCount(), before) << "a descriptor leaked";
  return refused;
}

// What a refusal must leave unchanged: the entry itself and, for a file, its
// bytes.
std::string fingerprint(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0)
    return "missing";
  return std::to_string(info.st_ino) + " " + std::to_string(info.st_mode) + " " +
         std::to_string(info.st_uid) + " " + std::to_string(info.st_nlink) + " " +
         (S_ISREG(info.st_mode) ? readText(path) : "");
}

TEST_F(PrivateFileRulesTest, EveryUnsafeFileIsRefusedOnEveryPathAndLeftAsItIs) {
  const std::string lease = paths.leaseFile();
  const std::string journal =
      appendingPathComponent(paths.logs(), ProfileActivityJournal::kFileName);
  const std::string instanceLock = appendingPathComponent(base, ApplicationInstanceLease::fileName);
  const std::string catalog = appendingPathComponent(base, "profiles.json");
  const auto inRoot = [&](std::string_view name) {
    return appendingPathComponent(paths.root(), name);
  };
  const ProfileRepository repository(base, temp.child("default"));
  const ProfileRepository::Draft draft{Uuid::random(), "Refused"};
  XrayDurableStateStore store;
  ProcessSupervisor supervisor;
  const ProfileActivityEvent event{.id = Uuid::random(), .profileID = profile, .detail = "x"};

  using Operation = std::function<void()>;
  const Operation emptyRecord = [&] { store.withLockedState(paths, true, [](auto&, auto&) {}); };
  const Operation appendEvent = [&] { ProfileActivityJournal().append(event, paths); };
  struct Path {
    const char* name;
    Operation operation;
  };
  const Path write = {"locked write", [&] {
                        store.withLockedState(paths, true, [](auto& current, auto& writer) {
                          XrayDurableState next = current;
                          next.status = XrayDurableState::Status::active;
                          next.capability = std::string(64, 'a');
                          writer.write(next);
                        });
                      }};
  const Path read = {"locked read", [&] { store.read(paths); }};
  const Path readOnly = {"read-only", [&] { store.readOnly(paths); }};
  const Path check = {"recovery check", [&] { supervisor.canRecoverStaleLease(profile, paths); }};
  const Path recover = {"recovery", [&] { supervisor.recoverStaleLease(profile, paths); }};
  const Path acquire = {"acquire",
                        [&] { ApplicationInstanceLease::acquire(base, temp.child("default")); }};
  const Path append = {"append", appendEvent};
  const Path readJournal = {"read", [&] { readProfileActivityJournal(paths, 4096); }};
  const Path load = {"load", [&] { repository.load(); }};
  const Path create = {"create", [&] { repository.create(draft, testing::chromeInstallation()); }};
  struct Row {
    std::string path;
    Operation make;  // a sound file
    std::vector<Path> paths;
  };
  const std::vector<Row> rows = {
      {inRoot(".xray-operation-lock"), emptyRecord, {write, readOnly}},
      {inRoot(".xray-managed-v1"), emptyRecord, {write, readOnly}},
      {inRoot(XrayDurableStateStore::kStateFileName), emptyRecord, {write, read, readOnly}},
      {lease, [&] { testing::makeFile(lease, 0600, staleLease()); }, {check, recover}},
      {instanceLock, [&] { testing::makeFile(instanceLock, 0600); }, {acquire}},
      {journal, appendEvent, {append, readJournal}},
      {catalog,
       [&] { testing::makeFile(catalog, 0600, R"({"schemaVersion":5,"profiles":[]})"); },
       {load, create}},
  };
  const std::string aside = temp.child("aside");
  namespace fs = std::filesystem;
  const auto grant = [](const std::string& p) { testing::setfacl({"-m", "u:65534:r", p}); };
  const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> damages = {
      {"mode 0644", [](auto& p) { fs::permissions(p, fs::perms(0644)); }},
      {"another user's", [](auto& p) { ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0); }},
      {"a second link", [&](auto& p) { fs::create_hard_link(p, aside); }},
      {"an ACL entry", [&](auto& p) { grant(p), fs::permissions(p, fs::perms(0600)); }},
      {"a symbolic link to a sound file",
       [&](auto& p) { fs::rename(p, aside), fs::create_symlink(aside, p); }},
      {"a directory", [](auto& p) { fs::remove(p), testing::makeDirectory(p); }},
      {"a FIFO without a reader", [](auto& p) { fs::remove(p), ::mkfifo(p.c_str(), 0600); }},
  };
  for (const auto& row : rows) {
    for (const auto& [damage, apply] : damages) {
      SCOPED_TRACE(std::filesystem::path(row.path).filename().string() + " with " + damage);
      row.make();
      apply(row.path);
      const std::string before = fingerprint(row.path);
      const std::string beforeAside = fingerprint(aside);
      for (const auto& path : row.paths)
        EXPECT_TRUE(refuses(path.operation)) << path.name << " accepted it";
      EXPECT_EQ(fingerprint(row.path), before) << "left as it was";
      EXPECT_EQ(fingerprint(aside), beforeAside) << "nothing written through a link";
      fs::remove(row.path);
      fs::remove(aside);
    }
  }
}

// Each store is written by a forked child, i = 0, 1, ..., until it is killed
// at a random moment, 30 times; after each kill a reader must find a whole
// value, and every file in the store's directory must be private.
TEST(StoreKillTest, AKilledWriterLeavesAWholeValueAndOnlyPrivateFiles) {
  testing::ScopedTempDir base, approvalsBase;
  YouTrackFileCredentialStore tokens(base.path());
  CodexCompatibilityApprovalStore approvals(approvalsBase.path(),
                                            ProfilePreparer(approvalsBase.child("default")));
  CodexInstallation codex{.bundleIdentifier = "com.openai.codex",
                          .signingTeamIdentifier = "2DC432GLL2"};
  struct Store {
    std::function<void(unsigned)> write;
    std::string directory;
    std::function<void()> intact;
  };
  const Store stores[] = {
      {[&](unsigned i) { tokens.storeToken(std::string(8000, char('a' + i % 26))); },
       base.child("Credentials/mcp.youtrack"),
       [&] {
         const auto token = tokens.readToken();  // never a mix of two tokens
         ASSERT_EQ(token.size(), 8000u);
         EXPECT_EQ(token.find_first_not_of(token.front()), std::string::npos);
       }},
      {[&](unsigned i) {
         codex.buildVersion = std::to_string(i % 40);
         approvals.approve(codex);
       },
       approvalsBase.path(), [&] { EXPECT_FALSE(approvals.load().empty()); }},
  };
  std::mt19937 random(std::random_device{}());
  for (const auto& store : stores) {
    for (int round = 0; round < 30; ++round) {
      int ready[2];
      ASSERT_EQ(::pipe(ready), 0);
      const pid_t child = ::fork();
      for (unsigned i = 0; child == 0; ++i) {
        store.write(i);
        if (i == 0)
          (void)!::write(ready[1], "w", 1);
      }
      char byte;
      ::close(ready[1]);
      ASSERT_EQ(::read(ready[0], &byte, 1), 1);
      ::close(ready[0]);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      ASSERT_NO_FATAL_FAILURE(store.intact()) << store.directory << ", round " << round;
      for (const auto& entry : std::filesystem::directory_iterator(store.directory)) {
        struct stat info {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode) && (info.st_mode & 07777) == 0600) << entry.path();
      }
    }
  }
  tokens.deleteToken();  // leaves no copy of a token behind
  EXPECT_TRUE(std::filesystem::is_empty(base.child("Credentials/mcp.youtrack")));
}

TEST(InstanceLeaseTest, AnotherProcessHoldsTheBaseUntilItIsKilled) {
  testing::ScopedTempDir temp;
  const std::string base = temp.child("base"), lockFile = base + "/.instance.lock";
  testing::makeDirectory(base);
  const auto acquire = [&] {
    return ApplicationInstanceLease::acquire(base, temp.child("default"));
  };
  testing::Subprocess holder(
      {testing::testProgramPath("instance-lease-holder"), base, temp.child("default")});
  ASSERT_TRUE(holder.waitForOutput("acquired\n", std::chrono::seconds(10))) << holder.errors();

  EXPECT_TRUE(acquire().alreadyRunning());

  // SIGKILL: no destructor runs, the kernel alone releases the lock.
  holder.signal(SIGKILL);
  ASSERT_TRUE(holder.wait(std::chrono::seconds(10)));
  auto acquisition = acquire();
  ASSERT_TRUE(acquisition.acquired());
  EXPECT_EQ(testing::modeOf(lockFile), 0600u);

  // Within one process a second acquisition is refused too, until release.
  EXPECT_TRUE(acquire().alreadyRunning());
  acquisition.lease.reset();
  EXPECT_TRUE(acquire().acquired());
  EXPECT_TRUE(testing::exists(lockFile));  // never deleted
}

}  // namespace
}  // namespace korvelin
