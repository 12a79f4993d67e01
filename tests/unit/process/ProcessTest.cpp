// The processes of this system: how a child is started (or refused), and
// the identity and arguments of a live process.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/platform/ProcessInfo.h"
#include "core/platform/SuspendedSpawn.h"
#include "core/platform/linux/ProcessInfo_linux.h"
#include "core/process/ChildProcess.h"
#include "core/process/LiveProcessIdentity.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using testing::eventually;
using testing::Subprocess;
using testing::SubprocessOptions;

std::optional<LiveProcessIdentity> captureSoon(int pid) {
  std::optional<LiveProcessIdentity> identity;
  eventually([&] { return (identity = LiveProcessIdentity::capture(pid)).has_value(); });
  return identity;
}

TEST(LiveProcessIdentityTest, GoneZombieAndSystemProcessesHaveNoIdentity) {
  for (int pid : {-1, 0, 1})
    EXPECT_FALSE(LiveProcessIdentity::capture(pid)) << pid;
  Subprocess child({"/bin/sleep", "30"});
  auto identity = captureSoon(child.pid());
  ASSERT_TRUE(identity);
  child.signal(SIGKILL);
  child.wait();
  EXPECT_FALSE(identity->isCurrent());
  EXPECT_FALSE(LiveProcessIdentity::capture(child.pid()));
  EXPECT_FALSE(liveArguments(0));
  EXPECT_FALSE(liveArguments(child.pid()));

  pid_t zombie = ::fork();
  if (zombie == 0)
    ::_exit(0);
  // Not reaped yet: the child stays a zombie, with an empty argument buffer.
  EXPECT_TRUE(eventually([&] {
    auto record = platform::processRecord(zombie);
    return record && record->zombie;
  }));
  EXPECT_FALSE(LiveProcessIdentity::capture(zombie));
  EXPECT_FALSE(liveArguments(zombie));
  ::waitpid(zombie, nullptr, 0);
}

TEST(LiveProcessIdentityTest, CapturesThisProcessAndAnyChangeIsNotCurrent) {
  const auto now = static_cast<double>(std::time(nullptr));
  auto identity = LiveProcessIdentity::capture(::getpid());
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->pid, ::getpid());
  EXPECT_EQ(identity->group, ::getpgrp());
  EXPECT_EQ(identity->uid, ::geteuid());
  EXPECT_LT(identity->startMicroseconds, 1'000'000u);
  // This test binary started recently, by the date shown to people.
  const double started = platform::processRecord(::getpid()).value().startDate;
  EXPECT_LE(started, now + 1);
  EXPECT_GT(started + 600, now);
  char exe[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  EXPECT_EQ(identity->executable, exe);
  EXPECT_EQ(identity->bootSessionID.size(), 36u);
  EXPECT_TRUE(identity->isCurrent());
  EXPECT_EQ(LiveProcessIdentity::capture(::getpid()), identity);

  // An identity recorded in another boot, or another incarnation of the pid.
  const std::vector<std::function<void(LiveProcessIdentity&)>> changes = {
      [](auto& i) { i.bootSessionID = "00000000-0000-0000-0000-000000000000"; },
      [](auto& i) { i.startSeconds -= 1; },
      [](auto& i) { i.startMicroseconds = (i.startMicroseconds + 1) % 1'000'000; },
      [](auto& i) { i.executable += "x"; },
      [](auto& i) { i.group += 1; },
      [](auto& i) { i.uid += 1; },
  };
  for (size_t k = 0; k < changes.size(); ++k) {
    auto changed = *identity;
    changes[k](changed);
    EXPECT_FALSE(nlohmann::json(changed).get<LiveProcessIdentity>().isCurrent()) << "change " << k;
  }
}

TEST(LiveProcessIdentityTest, StartTimeDoesNotFollowTheWallClock) {
  // The same process read twice, with the clock stepped between the reads.
  auto read = [](const char* path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  const std::string stat = read("/proc/self/stat");
  const std::string status = read("/proc/self/status");
  const long hz = ::sysconf(_SC_CLK_TCK);
  const auto before = platform::recordFromProc(stat, status, hz, 1'700'000'000.0);
  const auto after = platform::recordFromProc(stat, status, hz, 1'700'003'600.5);
  ASSERT_TRUE(before && after);
  EXPECT_EQ(before->startSeconds, after->startSeconds);
  EXPECT_EQ(before->startMicroseconds, after->startMicroseconds);
  EXPECT_NEAR(after->startDate - before->startDate, 3600.5, 1e-3);
}

TEST(LiveProcessIdentityTest, AnUnreapedLeaderHasNotEnded) {
  // A group leader that exits while its parent, not this process, has yet to
  // collect it: the shell reaps it only when told to.
  Subprocess parent({"/bin/sh", "-c", "setsid /bin/sleep 0.5 & echo $!; read line; wait"},
                    SubprocessOptions{.keepStdinOpen = true});
  ASSERT_TRUE(parent.waitForOutput("\n", std::chrono::seconds(5)));
  const pid_t leader = std::stoi(parent.output());
  std::optional<LiveProcessIdentity> identity;
  ASSERT_TRUE(eventually([&] {
    return (identity = LiveProcessIdentity::capture(leader)) && identity->group == leader;
  }));

  EXPECT_TRUE(eventually([&] {
    auto record = platform::processRecord(leader);
    return record && record->zombie;
  }));
  EXPECT_FALSE(identity->sessionHasEnded()) << "kill(pid, 0) still finds it";
  parent.writeStdin("\n");
  parent.wait();
  EXPECT_TRUE(identity->sessionHasEnded());
}

// A shell that waits for a line holds arbitrary extra arguments, then becomes
// another program.
TEST(LiveArgumentsTest, ReadsTheArgumentsAChildWasStartedWithAndExecMakesItsIdentityStale) {
  const std::vector<std::string> argv = {"/bin/sh", "-c", "read line; exec /bin/sleep 30",
                                         "a b",     "",   "ünïcödé"};
  Subprocess shell(argv, SubprocessOptions{.keepStdinOpen = true});
  // Until the exec, the child still carries this test's own arguments.
  EXPECT_TRUE(eventually([&] { return liveArguments(shell.pid()) == argv; }))
      << ::testing::PrintToString(liveArguments(shell.pid()));
  auto identity = captureSoon(shell.pid());
  ASSERT_TRUE(identity);
  EXPECT_TRUE(identity->isCurrent());
  shell.writeStdin("go\n");
  EXPECT_TRUE(eventually([&] {
    auto now = LiveProcessIdentity::capture(shell.pid());
    return now && now->executable != identity->executable;
  }));
  EXPECT_FALSE(identity->isCurrent());
}

TEST(LiveProcessIdentityJsonTest, RefusesMissingUnknownAndOutOfRangeValues) {
  const nlohmann::json valid = nlohmann::json::parse(R"({"pid": 10, "group": 10, "uid": 1000,
      "startSeconds": 1, "startMicroseconds": 2, "executable": "/bin/x", "bootSessionID": "b"})");
  ASSERT_NO_THROW(valid.get<LiveProcessIdentity>());
  std::vector<std::pair<const char*, std::function<void(nlohmann::json&)>>> cases = {
      {"missing pid", [](auto& j) { j.erase("pid"); }},
      {"missing bootSessionID", [](auto& j) { j.erase("bootSessionID"); }},
      {"unknown key", [](auto& j) { j["extra"] = 1; }},
      {"pid above int32", [](auto& j) { j["pid"] = 2147483648LL; }},
      {"negative uid", [](auto& j) { j["uid"] = -1; }},
      {"fractional start", [](auto& j) { j["startSeconds"] = 1.5; }},
      {"string pid", [](auto& j) { j["pid"] = "10"; }},
      {"boolean group", [](auto& j) { j["group"] = true; }},
      {"numeric executable", [](auto& j) { j["executable"] = 1; }},
      {"not an object", [](auto& j) { j = nlohmann::json::array(); }},
  };
  for (auto& [name, mutate] : cases) {
    auto json = valid;
    mutate(json);
    EXPECT_ANY_THROW(json.get<LiveProcessIdentity>()) << name;
  }
}

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
