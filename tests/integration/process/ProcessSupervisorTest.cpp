#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/process/LaunchLease.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfilePaths.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ServicesSupport.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using testing::errorCaseOf;
using testing::exists;
using testing::readText;

using Case = KorvelinCoreError::Case;
using testing::eventually;

// The lines of probe-child's report that start with `prefix`, without it.
std::vector<std::string> reportLines(const std::string& report, const std::string& prefix) {
  std::vector<std::string> lines;
  for (const auto& line : testing::linesOf(readText(report)))
    if (line.starts_with(prefix))
      lines.push_back(line.substr(prefix.size()));
  return lines;
}

std::vector<std::string> logEvents(const std::string& logPath) {
  std::vector<std::string> events;
  for (const auto& line : testing::linesOf(readText(logPath)))
    events.push_back(nlohmann::json::parse(line)["event"]);
  return events;
}

class ProcessSupervisorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0700);
    ProfilePreparer(paths_.baseDirectory()).prepare(paths_);
  }

  ProcessLaunchPlan plan(std::string program,
                         std::vector<std::string> arguments,
                         std::map<std::string, std::string> overrides = {}) {
    return ProcessLaunchPlan{std::move(program), std::move(arguments), std::move(overrides), paths_,
                             std::nullopt};
  }

  // probe-child writing its report to `report` and then sleeping.
  ProcessLaunchPlan probe(const std::string& report, int seconds = 30) {
    return plan(testing::testProgramPath("probe-child"), {report, std::to_string(seconds)});
  }

  ProcessSnapshot start(ProcessSupervisor& supervisor, const ProcessLaunchPlan& p) {
    return supervisor.start(id_, p, nullptr, nullptr);
  }

  std::string lease() const { return paths_.leaseFile(); }

  // True once the run's group has ended and its completion can be confirmed.
  bool endsAwaitingConfirmation(ProcessSupervisor& supervisor) {
    return eventually([&] {
      return supervisor.status(id_, paths_)->state ==
             ProcessRunState::managedGroupStoppedAwaitingConfirmation;
    });
  }

  testing::ScopedTempDir dir_;
  Uuid id_ = Uuid::random();
  ProfilePaths paths_{id_, dir_.path()};
};

// One profile's runs, one after another: each way a run ends, and what
// completion needs before the profile may run again.
TEST_F(ProcessSupervisorTest, RunsEndInEveryWayAndCompleteOnlyWhenConfirmed) {
  ProcessSupervisor supervisor;
  const std::string report = dir_.child("report");
  // Stopped: the lease stays until completion is confirmed.
  auto first = start(supervisor, probe(report));
  EXPECT_EQ(first.state, ProcessRunState::running);
  EXPECT_EQ(first.processGroupID, first.rootPID);
  EXPECT_TRUE(exists(lease()));
  EXPECT_EQ(errorCaseOf([&] { start(supervisor, probe(report)); }), Case::alreadyRunning);
  EXPECT_TRUE(eventually([&] { return exists(report); }));
  EXPECT_EQ(supervisor.status(id_, paths_)->state, ProcessRunState::running);
  auto stopped = supervisor.stop(id_, paths_, 10);
  EXPECT_EQ(stopped.state, ProcessRunState::managedGroupStoppedAwaitingConfirmation);
  EXPECT_EQ(stopped.terminationSignal, SIGTERM);
  EXPECT_FALSE(stopped.exitCode);
  EXPECT_TRUE(exists(lease()));
  EXPECT_EQ(errorCaseOf([&] { start(supervisor, probe(report)); }), Case::alreadyRunning);
  auto confirmed = supervisor.confirmCompletion(id_, first.runID, paths_);
  EXPECT_EQ(confirmed.state, ProcessRunState::stoppedConfirmed);
  EXPECT_FALSE(exists(lease()));
  EXPECT_EQ(logEvents(first.logPath),
            (std::vector<std::string>{"launch_requested", "launched", "stop_requested",
                                      "managed_group_stopped", "completion_confirmed"}));

  // Ended by itself: its exit code is kept, and only its own run is confirmed.
  auto second = start(supervisor, plan("/bin/sh", {"-c", "exit 7"}));
  EXPECT_NE(second.runID, first.runID);
  ASSERT_TRUE(endsAwaitingConfirmation(supervisor));
  EXPECT_EQ(supervisor.status(id_, paths_)->exitCode, 7);
  EXPECT_EQ(errorCaseOf([&] { supervisor.confirmCompletion(id_, Uuid::random(), paths_); }),
            Case::runIdentityMismatch);
  EXPECT_TRUE(exists(lease()));
  supervisor.confirmCompletion(id_, second.runID, paths_);
  EXPECT_FALSE(exists(lease()));

  // A root that exits at once leaves a member of its group: not complete
  // until the stop ends it, and the root's own exit status is kept.
  ::unlink(report.c_str());
  const std::string child = testing::testProgramPath("probe-child");
  auto third = start(supervisor, plan("/bin/sh", {"-c", child + " " + report + " 30 & exit 0"}));
  ASSERT_TRUE(eventually([&] {
    return supervisor.status(id_, paths_)->state == ProcessRunState::rootExitedDescendantsRunning;
  }));
  ASSERT_TRUE(eventually([&] { return exists(report); }));
  EXPECT_EQ(errorCaseOf([&] { supervisor.confirmCompletion(id_, third.runID, paths_); }),
            Case::completionNotReady);
  stopped = supervisor.stop(id_, paths_, 10);
  EXPECT_EQ(stopped.state, ProcessRunState::managedGroupStoppedAwaitingConfirmation);
  EXPECT_EQ(stopped.exitCode, 0);
  supervisor.confirmCompletion(id_, third.runID, paths_);

  // A group that ignores SIGTERM: bad timeouts touch nothing, a stop times
  // out and leaves it running.
  const std::string ready = dir_.child("ready");
  const std::string stubborn = "trap '' TERM; : >" + ready + "; while :; do sleep 1; done";
  auto fourth = start(supervisor, plan("/bin/sh", {"-c", stubborn}));
  ASSERT_TRUE(eventually([&] { return exists(ready); }));
  for (double timeout : {0.0, -1.0, std::nan("")})
    EXPECT_EQ(errorCaseOf([&] { supervisor.stop(id_, paths_, timeout); }),
              Case::invalidStopTimeout);
  EXPECT_EQ(supervisor.status(id_, paths_)->state, ProcessRunState::running);
  EXPECT_EQ(logEvents(fourth.logPath), (std::vector<std::string>{"launch_requested", "launched"}));
  EXPECT_EQ(errorCaseOf([&] { supervisor.stop(id_, paths_, 0.1); }), Case::stopTimedOut);
  EXPECT_EQ(supervisor.status(id_, paths_)->state, ProcessRunState::running);
  ::kill(-fourth.processGroupID, SIGKILL);
  EXPECT_EQ(supervisor.stop(id_, paths_, 10).terminationSignal, SIGKILL);
}

TEST_F(ProcessSupervisorTest, EnvironmentHoldsOnlyWhatIsAllowed) {
  using Variables = std::map<std::string, std::string>;
  struct Row {
    Variables host, overrides;
    std::vector<std::string> expected;
  };
  const Variables host = {{"HOME", "/root"}, {"PATH", "/x"}, {"SECRET", "s"}, {"LANG", "C"}};
  const Variables profile = {{"HOME", "/profile/home"}, {"PATH", "/y"}};
  const std::vector<Row> rows = {
      {host, {}, {"LANG=C", "PATH=/x"}},
      {{{"HOME", "/root"}, {"LD_PRELOAD", "l"}}, {}, {"PATH=/usr/bin:/bin:/usr/sbin:/sbin"}},
      {{{"PATH", "/x"}, {"TZ", "UTC"}}, profile, {"HOME=/profile/home", "PATH=/y", "TZ=UTC"}},
  };
  ProcessSupervisor supervisor;
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string report = dir_.child("report" + std::to_string(i));
    auto p = plan(testing::testProgramPath("probe-child"), {report, "0"}, rows[i].overrides);
    auto run = supervisor.start(id_, p, nullptr, nullptr, rows[i].host);
    ASSERT_TRUE(endsAwaitingConfirmation(supervisor));
    supervisor.confirmCompletion(id_, run.runID, paths_);
    EXPECT_EQ(reportLines(report, "env "), rows[i].expected) << "row " << i;
    EXPECT_EQ(reportLines(report, "fd "), (std::vector<std::string>{"0", "1", "2"})) << "row " << i;
  }
}

// Anything at the lease's name blocks the profile: a symbolic link, or the
// lease of a host killed at a point of a launch before the child was
// verified (whose child never ran; a host killed after the start: CliRunTest).
// The paths of another profile are refused. Every operation alike.
TEST_F(ProcessSupervisorTest, EveryOperationRefusesABlockedProfileAndAnotherProfilesPaths) {
  ProcessSupervisor supervisor;
  const std::string report = dir_.child("report");
  const auto killedHost = [&](const char* point) {
    return [=, this] {
      testing::Subprocess host({testing::testProgramPath("supervisor-host"), dir_.path(),
                                id_.uppercaseString(), point,
                                testing::testProgramPath("probe-child"), report, "30"});
      host.wait();
      ::usleep(200'000);
      EXPECT_FALSE(exists(report)) << "an unverified child never runs, even after its host died";
      EXPECT_EQ(readText(lease()).find('\n'), readText(lease()).size() - 1)
          << "the first line only";
    };
  };
  const std::vector<std::pair<const char*, std::function<void()>>> blocks = {
      {"another profile", [] {}},
      {"a symbolic link", [&] { testing::makeSymlink("/nonexistent", lease()); }},
      {"host killed before the spawn", killedHost("before-spawn")},
      {"host killed with its child suspended", killedHost("suspended")},
  };
  for (const auto& [name, block] : blocks) {
    SCOPED_TRACE(name);
    block();
    const bool blocked = exists(lease());
    const Uuid id = blocked ? id_ : Uuid::random();
    const auto expected = blocked ? Case::profileRecoveryRequired : Case::profileIdentifierMismatch;
    EXPECT_EQ(errorCaseOf([&] { supervisor.start(id, plan("/bin/true", {}), nullptr, nullptr); }),
              expected);
    EXPECT_EQ(errorCaseOf([&] { supervisor.status(id, paths_); }), expected);
    EXPECT_EQ(errorCaseOf([&] { supervisor.stop(id, paths_, 1); }), expected);
    EXPECT_EQ(errorCaseOf([&] { supervisor.recoverStaleLease(id, paths_); }), expected);
    EXPECT_EQ(exists(lease()), blocked);
    ::unlink(lease().c_str());
  }
}

// A runtime that forwards to the kernel but can pretend the root's pid now
// names another process, and a signaller that records every signal.
class ReusingRuntime : public ProcessRuntime {
 public:
  std::vector<std::int32_t> groupMembers(std::int32_t group) override {
    if (onGroupMembers)
      onGroupMembers();
    return real.groupMembers(group);
  }
  std::optional<platform::ProcessRecord> processRecord(std::int32_t pid) override {
    auto record = real.processRecord(pid);
    if (record && reused)
      record->startSeconds += 100;
    return record;
  }
  SystemProcessRuntime real;
  bool reused = false;
  std::function<void()> onGroupMembers;
};

class RecordingSignaler : public ProcessSignaling {
 public:
  int signalProcess(std::int32_t pid, int signal) override {
    if (signal != 0)
      sent.push_back(signal);
    return real.signalProcess(pid, signal);
  }
  int signalGroup(std::int32_t group, int signal) override {
    sent.push_back(signal);
    return real.signalGroup(group, signal);
  }
  SystemProcessSignaler real;
  std::vector<int> sent;
};

TEST_F(ProcessSupervisorTest, ReusedPidIsNeverSignalled) {
  auto runtime = std::make_shared<ReusingRuntime>();
  auto signaler = std::make_shared<RecordingSignaler>();
  ProcessSupervisor supervisor(runtime, signaler);
  auto run = start(supervisor, plan("/bin/sleep", {"30"}));
  runtime->reused = true;
  EXPECT_EQ(errorCaseOf([&] { supervisor.status(id_, paths_); }), Case::processIdentityLost);
  EXPECT_EQ(errorCaseOf([&] { supervisor.stop(id_, paths_, 1); }), Case::processIdentityLost);
  EXPECT_TRUE(signaler->sent.empty());
  EXPECT_TRUE(exists(lease())) << "a lost identity keeps the profile blocked";
  ::kill(run.rootPID, SIGKILL);
  runtime->reused = false;
  supervisor.stop(id_, paths_, 5);
}

std::string leaseOf(const Uuid& run, std::int32_t pid) {
  return leaseJSON(run, 1780000000.5, std::nullopt, std::nullopt, "starting", std::nullopt) + "\n" +
         leaseJSON(run, 1780000000.5, pid, pid, "running", std::nullopt) + "\n";
}

// A pid that names no process.
std::int32_t deadPid() {
  testing::Subprocess child({"/bin/true"});
  child.wait();
  return child.pid();
}

// Recovery removes a stale lease only once it is proven stale, and leaves
// evidence; anything unproven, or a lease replaced meanwhile, stays as it is.
TEST_F(ProcessSupervisorTest, StaleLeaseRecoveryRemovesOnlyAProvenStaleLease) {
  const Uuid run = Uuid::random();
  const std::string evidence = paths_.logs() + "/recovery-" + run.lowercaseString() + ".jsonl";
  const std::string bytes = leaseOf(run, deadPid());
  testing::Subprocess alive({"/bin/sleep", "30"});
  struct Row {
    const char* name;
    std::string bytes;
    mode_t mode;
  };
  const std::vector<Row> rows = {
      {"over 16384 bytes", bytes + std::string(16384, '\n'), 0600},
      {"starting line only", bytes.substr(0, bytes.find('\n') + 1), 0600},
      {"live pid", leaseOf(run, alive.pid()), 0600},
      {"mode 0644", bytes, 0644},
      {"pid 1", leaseOf(run, 1), 0600},
  };
  auto runtime = std::make_shared<ReusingRuntime>();
  ProcessSupervisor supervisor(runtime);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    testing::makeFile(lease(), row.mode, row.bytes);
    EXPECT_EQ(errorCaseOf([&] { supervisor.canRecoverStaleLease(id_, paths_); }),
              Case::profileRecoveryRequired);
    EXPECT_EQ(errorCaseOf([&] { supervisor.recoverStaleLease(id_, paths_); }),
              Case::profileRecoveryRequired);
    EXPECT_EQ(readText(lease()), row.bytes) << "left in place";
    EXPECT_FALSE(exists(evidence));
    ::unlink(lease().c_str());
  }

  // Between the read and the unlink, another file takes the lease's name.
  testing::makeFile(lease(), 0600, bytes);
  bool replaced = false;
  runtime->onGroupMembers = [&] {
    if (std::exchange(replaced, true))
      return;
    testing::makeFile(lease() + ".new", 0600, bytes);
    ::rename((lease() + ".new").c_str(), lease().c_str());
  };
  EXPECT_EQ(errorCaseOf([&] { supervisor.recoverStaleLease(id_, paths_); }),
            Case::profileRecoveryRequired);
  EXPECT_EQ(readText(lease()), bytes);
  EXPECT_FALSE(exists(evidence));

  // Proven stale: checking writes nothing, recovery leaves the evidence.
  supervisor.canRecoverStaleLease(id_, paths_);
  EXPECT_FALSE(exists(evidence));
  EXPECT_TRUE(exists(lease()));
  supervisor.recoverStaleLease(id_, paths_);
  EXPECT_FALSE(exists(lease()));
  auto line = nlohmann::json::parse(readText(evidence));
  EXPECT_EQ(line["event"], "stale_lease_recovered");
  EXPECT_EQ(line["runID"], run.uppercaseString());
  EXPECT_EQ(line["profileID"], id_.uppercaseString());
  ASSERT_EQ(line["leaseJournal"].size(), 2u);
  EXPECT_EQ(line["leaseJournal"][1]["state"], "running");
  EXPECT_EQ(testing::modeOf(evidence), 0600u);

  // The profile launches again.
  auto next = start(supervisor, plan("/bin/true", {}));
  EXPECT_TRUE(endsAwaitingConfirmation(supervisor));
  supervisor.confirmCompletion(id_, next.runID, paths_);
}

}  // namespace
}  // namespace korvelin
