// The processes of this system: how a child is started (or refused), the
// identity and arguments of a live process, the launch lease and events of
// a supervised run, and its snapshot.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/platform/ProcessInfo.h"
#include "core/platform/SuspendedSpawn.h"
#include "core/platform/linux/ProcessInfo_linux.h"
#include "core/process/ChildProcess.h"
#include "core/process/LaunchLease.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/process/ProcessSnapshot.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using testing::eventually;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::Subprocess;
using testing::SubprocessOptions;

std::optional<LiveProcessIdentity> captureSoon(int pid) {
  std::optional<LiveProcessIdentity> identity;
  eventually([&] { return (identity = LiveProcessIdentity::capture(pid)).has_value(); });
  return identity;
}

bool isZombie(pid_t pid) {
  const auto record = platform::processRecord(pid);
  return record && record->zombie;
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
  EXPECT_TRUE(eventually([&] { return isZombie(zombie); }));
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
  const std::string stat = testing::readText("/proc/self/stat");
  const std::string status = testing::readText("/proc/self/status");
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

  EXPECT_TRUE(eventually([&] { return isZombie(leader); }));
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

const Uuid kRun = *Uuid::parse("8D9B2C4E-1F3A-4B5C-9D6E-7F8091A2B3C4");
const Uuid kOtherRun = *Uuid::parse("00000000-0000-4000-8000-000000000001");
const Uuid kProfile = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
constexpr double kStartedAt = 1780000000.123456;

LiveProcessIdentity sampleIdentity() {
  return {
      412, 412, 1000, 1780000000, 130000, "/usr/bin/app", "887741f7-deed-4b56-9cec-a291f0d37a2d"};
}

std::string startingLine(const Uuid& run = kRun, double startedAt = kStartedAt) {
  return leaseJSON(run, startedAt, std::nullopt, std::nullopt, "starting", std::nullopt);
}

std::string runningLine(const Uuid& run = kRun, double startedAt = kStartedAt) {
  return leaseJSON(run, startedAt, 412, 412, "running", sampleIdentity());
}

TEST(LaunchLeaseTest, WritesAndReadsTheTwoLineLeaseOfARun) {
  // Sorted keys, absent values left out.
  EXPECT_EQ(
      startingLine(),
      R"({"runID":"8D9B2C4E-1F3A-4B5C-9D6E-7F8091A2B3C4","startedAt":1780000000.123456,"state":"starting"})");
  EXPECT_THAT(runningLine(), StartsWith(R"({"identity":{)"));
  EXPECT_THAT(runningLine(), HasSubstr(R"(},"processGroupID":412,"rootPID":412,"runID":)"));
  auto lease = parseDurableProcessLease(startingLine() + "\n" + runningLine() + "\n");
  ASSERT_TRUE(lease);
  EXPECT_EQ(lease->runID, kRun);
  EXPECT_EQ(lease->startedAt, kStartedAt);
  EXPECT_EQ(lease->rootPID, 412);
  EXPECT_EQ(lease->processGroupID, 412);
  EXPECT_EQ(lease->identity, sampleIdentity());
  // A lone running line (no starting line) and blank lines are accepted.
  EXPECT_TRUE(parseDurableProcessLease("\n" + runningLine() + "\n\n"));
}

TEST(LaunchLeaseTest, RefusesEveryLeaseThatDoesNotProveARun) {
  const std::string starting = startingLine() + "\n";
  const std::string running = runningLine() + "\n";
  // The running line of the run, without its identity, changed by `edit`.
  const auto runningAs = [&](const std::function<void(nlohmann::json&)>& edit) {
    auto line = nlohmann::json::parse(leaseJSON(kRun, kStartedAt, 1, 1, "running", std::nullopt));
    edit(line);
    return starting + line.dump() + "\n";
  };
  ASSERT_TRUE(parseDurableProcessLease(runningAs([](auto&) {})));
  const nlohmann::json partialIdentity = {{"pid", 1}};
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"only blank lines", "\n\n"},
      {"starting line only", starting},
      {"three lines", starting + running + running},
      {"running line first", running + starting},
      {"startedAt differs in the last digit",
       startingLine(kRun, 1780000000.123457) + "\n" + running},
      {"other run in line 1", startingLine(kOtherRun) + "\n" + running},
      {"not JSON", starting + "{not json}\n"},
      {"not UTF-8", starting + "\xff\xfe\n"},
      {"array line", starting + "[]\n"},
      {"state not running", runningAs([](auto& j) { j["state"] = "stopped"; })},
      {"unknown key", runningAs([](auto& j) { j["extra"] = 1; })},
      {"missing rootPID", runningAs([](auto& j) { j.erase("rootPID"); })},
      {"pid out of range", runningAs([](auto& j) { j["rootPID"] = 4294967296; })},
      {"run not a UUID", runningAs([](auto& j) { j["runID"] = "run"; }).substr(starting.size())},
      {"identity missing a key", runningAs([&](auto& j) { j["identity"] = partialIdentity; })},
  };
  for (const auto& [name, bytes] : cases)
    EXPECT_FALSE(parseDurableProcessLease(bytes)) << name;
}

// A launch event carries only its known fields; recovery evidence repeats the
// lease's lines and refuses a lease that is not JSON lines of UTF-8.
TEST(LaunchLeaseTest, EventsAndRecoveryEvidenceCarryOnlyWhatTheyShould) {
  EXPECT_EQ(nlohmann::json::parse(launchEventJSON("managed_group_stopped", kProfile, kRun, 5.5, 412,
                                                  std::nullopt, 15)),
            nlohmann::json::parse(R"({"event": "managed_group_stopped", "timestamp": 5.5,
                "profileID": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "rootPID": 412,
                "runID": "8D9B2C4E-1F3A-4B5C-9D6E-7F8091A2B3C4", "terminationSignal": 15})"));
  const std::string lease = startingLine() + "\n" + runningLine() + "\n";
  auto evidence = nlohmann::json::parse(recoveryEvidenceJSON(kProfile, kRun, 7.0, lease));
  EXPECT_EQ(evidence["event"], "stale_lease_recovered");
  EXPECT_EQ(evidence["recoveredAt"], 7.0);
  ASSERT_EQ(evidence["leaseJournal"].size(), 2u);
  EXPECT_EQ(evidence["leaseJournal"][0], nlohmann::json::parse(startingLine()));
  EXPECT_EQ(evidence["leaseJournal"][1], nlohmann::json::parse(runningLine()));
  EXPECT_THROW(recoveryEvidenceJSON(kProfile, kRun, 7.0, lease + "[1]\n"), KorvelinCoreError);
  EXPECT_THROW(recoveryEvidenceJSON(kProfile, kRun, 7.0, "\xff"), KorvelinCoreError);
}

TEST(ProcessSnapshotTest, CarriesTheProxyHealthThroughJson) {
  ProcessSnapshot snapshot;
  snapshot.profileID = Uuid::random();
  snapshot.runID = Uuid::random();
  snapshot.logPath = "/logs/launch-x.jsonl";
  for (const auto& health :
       {VLESSRuntimeHealth::available("203.0.113.7", 10.5), VLESSRuntimeHealth::unavailable(11),
        VLESSRuntimeHealth::recoveryRequired(12)}) {
    snapshot.vlessHealth = health;
    EXPECT_EQ(nlohmann::json(snapshot).get<ProcessSnapshot>(), snapshot)
        << nlohmann::json(snapshot);
  }
  const std::vector<nlohmann::json> refused = {
      nlohmann::json::object(),
      {{"available", {{"checkedAt", 1}}}},
      {{"unavailable", {{"checkedAt", 1}, {"externalIP", "203.0.113.7"}}}},
      {{"unavailable", {{"checkedAt", 1}}}, {"recoveryRequired", {{"checkedAt", 1}}}},
      {{"degraded", {{"checkedAt", 1}}}},
  };
  for (const auto& health : refused) {
    nlohmann::json json = snapshot;
    json["vlessHealth"] = health;
    EXPECT_ANY_THROW(json.get<ProcessSnapshot>()) << health;
  }
}

}  // namespace
}  // namespace korvelin
