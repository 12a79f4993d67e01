// korvelin run, observe, journal and history: programs supervised in their
// profile, what a killed run leaves and how it is re-adopted or recovered,
// and the activity people read back.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/activity/ProfileActivityJournal.h"
#include "core/activity/ProfileActivityReader.h"
#include "core/activity/ProfileUsageRoute.h"
#include "core/platform/ProcessInfo.h"
#include "core/process/LaunchLease.h"
#include "core/process/LiveProcessIdentity.h"
#include "tests/support/ProfileCliTest.h"

namespace korvelin {
namespace {

using nlohmann::json;
using testing::eventually;
using testing::expectOneLineError;
using ::testing::HasSubstr;
using testing::korvelinPath;
using ::testing::Not;
using testing::run;

class CliRunTest : public testing::ProfileCliTest {};

// A program runs in the profile and its exit code is passed on; bad command
// lines get one-line errors.
TEST_F(CliRunTest, ProgramRunsInTheProfileAndItsExitCodeIsPassedOn) {
  auto result = run(korvelin(
      {"run", profile_, "--env", "GREETING=hi", "--", "/bin/sh", "-c",
       "test \"$GREETING\" = hi && test \"$HOME\" = \"" + paths_.home() + "\" && exit 5"}));
  EXPECT_EQ(result.exitCode, 5) << result.errors;
  EXPECT_THAT(result.output, HasSubstr("exited with code 5; completion confirmed"));
  EXPECT_FALSE(testing::exists(paths_.leaseFile())) << "completion removed the lease";

  expectOneLineError(
      run(korvelin({"run", profile_, "--env", "HOME=/elsewhere", "--", "/bin/true"})), 1,
      "HOME is managed by Korvelin and cannot be overridden.");
  expectOneLineError(run(korvelin({"run", profile_, "--", "/nonexistent/program"})), 1,
                     "program not found or not executable: /nonexistent/program");
  const std::vector<std::vector<std::string>> usages = {
      {"run", "not-a-uuid", "--", "/bin/true"},
      {"run", profile_, "--env", "NOEQUALS", "--", "/bin/true"},
      {"run", profile_, "--stop-timeout", "0", "--", "/bin/true"},
      {"status", "123"},
      {"recover", "x"},
  };
  for (const auto& arguments : usages) {
    SCOPED_TRACE(arguments[1]);
    auto refused = run(korvelin(arguments));
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_THAT(refused.errors, ::testing::MatchesRegex("korvelin: [^\n]+\n"));
  }
}

TEST_F(CliRunTest, InterruptStopsTheGroupAndConfirmsCompletion) {
  testing::Subprocess host(korvelin({"run", profile_, "--json", "--", "/bin/sleep", "30"}));
  ASSERT_TRUE(host.waitForOutput("\n", std::chrono::seconds(10)));
  auto started = nlohmann::json::parse(host.output());
  host.signal(SIGINT);
  auto status = host.wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 128 + SIGTERM);
  const auto lines = testing::jsonLines(host.output());
  ASSERT_EQ(lines.size(), 2u) << host.output();
  const auto& completed = lines[1];
  EXPECT_EQ(completed["event"], "completed");
  EXPECT_EQ(completed["state"], "stoppedConfirmed");
  EXPECT_EQ(completed["terminationSignal"], SIGTERM);
  EXPECT_NE(::kill(started["rootPID"].get<int>(), 0), 0);
}

// The program a lease names, once it runs.
std::optional<DurableProcessLease> runningLease(const ProfilePaths& paths) {
  std::optional<DurableProcessLease> lease;
  eventually([&] {
    lease = parseDurableProcessLease(testing::readText(paths.leaseFile()));
    return lease && lease->identity && lease->identity->isCurrent();
  });
  return lease;
}

// `korvelin run ... | true`: nobody reads standard output.
TEST_F(CliRunTest, KeepsSupervisingWhenItsOutputGoesAway) {
  std::vector<std::string> argv = {"/bin/bash", "-c", "exec > >(exit 0); exec \"$@\"", "bash"};
  for (auto& argument : korvelin({"run", profile_, "--", "/bin/sleep", "300"}))
    argv.push_back(argument);
  testing::Subprocess host(argv);
  const auto lease = runningLease(paths_);
  ASSERT_TRUE(lease);
  host.signal(SIGTERM);
  const auto status = host.wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 128 + SIGTERM)
      << "wait status " << *status << ": the host must outlive its output and stop its program";
  EXPECT_FALSE(testing::processExists(lease->rootPID));
}

TEST_F(CliRunTest, AProgramThatOutlivesTheStopTimeoutStaysSupervised) {
  const std::string ready = dir_.child("ready");
  testing::Subprocess host(
      korvelin({"run", "--stop-timeout", "0.2", profile_, "--", "/bin/sh", "-c",
                "trap '' TERM; : > " + ready + "; while :; do sleep 0.05; done"}));
  const auto lease = runningLease(paths_);
  ASSERT_TRUE(lease);
  ASSERT_TRUE(eventually([&] { return testing::exists(ready); }));
  for (int attempt = 1; attempt <= 2; ++attempt) {
    host.signal(SIGTERM);
    ASSERT_TRUE(testing::eventually([&] {
      host.waitForOutput("", std::chrono::milliseconds(10));
      std::size_t count = 0;
      for (auto at = host.output().find("still supervising"); at != std::string::npos;
           at = host.output().find("still supervising", at + 1))
        ++count;
      return count == static_cast<std::size_t>(attempt);
    })) << host.output()
        << host.errors();
    EXPECT_TRUE(testing::processExists(lease->rootPID));
  }
  ::kill(-lease->rootPID, SIGKILL);
  const auto status = host.wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 128 + SIGKILL) << host.output() << host.errors();
  EXPECT_FALSE(testing::exists(paths_.leaseFile())) << "completion was confirmed";
}

TEST_F(CliRunTest, HostsKilledAtRandomLeaveNoProgramThatNoLeaseNames) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delayMicroseconds(0, 50'000);
  int named = 0;
  for (int round = 0; round < 200; ++round) {
    // Every program of a killed host becomes this process's child, whatever
    // moment the kill hit: a child before its exec, a stopped one, a running
    // one. The round's end kills and collects them.
    testing::ScopedSubreaper subreaper;
    const std::set<pid_t> before = testing::childrenOfThisProcess();
    const ProfilePaths paths(Uuid::random(), dir_.path());
    {
      testing::Subprocess host(
          korvelin({"run", paths.profileID().uppercaseString(), "--", "/bin/sleep", "300"}));
      std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
      host.signal(SIGKILL);
      ASSERT_TRUE(host.wait());
    }
    // What is left must be a program the lease names, once a child that was
    // never released has seen its host go.
    const auto lease = parseDurableProcessLease(testing::readText(paths.leaseFile()));
    auto unnamed = [&] {
      std::vector<pid_t> found;
      for (pid_t child : testing::childrenOfThisProcess()) {
        if (before.count(child))
          continue;
        // A zombie ran out; a stopped child (even one this process traces,
        // whose stops waitpid would report) still counts.
        const auto record = platform::processRecord(child);
        if (!record || record->zombie) {
          if (record)
            ::waitpid(child, nullptr, __WALL);
          continue;
        }
        if (!(lease && lease->rootPID == child && lease->identity && lease->identity->isCurrent()))
          found.push_back(child);
      }
      return found;
    };
    EXPECT_TRUE(eventually([&] { return unnamed().empty(); }, std::chrono::seconds(2)))
        << "round " << round << ": " << ::testing::PrintToString(unnamed());
    named += lease && ::kill(-lease->rootPID, SIGKILL) == 0;
  }
  std::cout << named << " of 200 killed hosts had started their program\n";
}

TEST_F(CliRunTest, ObserveReadoptsWhatAKilledRunLeftRunning) {
  EXPECT_THAT(run(korvelin({"observe", profile_})).errors, HasSubstr("has no launch lease"));

  const std::string probe = testing::testProgramPath("probe-child");
  testing::Subprocess host(
      korvelin({"run", "--json", profile_, "--", probe, dir_.child("report"), "30",
                "--user-data-dir=" + paths_.userData(), "--proxy-server=socks5://127.0.0.1:1080"}));
  ASSERT_TRUE(host.waitForOutput("\n", std::chrono::seconds(10)));
  const auto started = nlohmann::json::parse(host.output());
  host.signal(SIGKILL);
  host.wait();

  auto text = run(korvelin({"observe", profile_}));
  EXPECT_EQ(text.exitCode, 0) << text.errors;
  EXPECT_THAT(text.output, HasSubstr("run          " + started["runID"].get<std::string>()));
  EXPECT_THAT(text.output, HasSubstr("route        socks5://127.0.0.1:1080"));

  // The run the lease recorded, as the killed host knew it, and beside it the
  // identity the lease recorded, proven again.
  const auto observation =
      nlohmann::json::parse(run(korvelin({"observe", profile_, "--json"})).output);
  auto snapshot = started;
  snapshot.erase("event");
  EXPECT_EQ(
      observation["rootIdentity"],
      nlohmann::json(*parseDurableProcessLease(testing::readText(paths_.leaseFile()))->identity));
  EXPECT_EQ(observation["snapshot"], snapshot);
  EXPECT_EQ(observation["usageRoute"],
            nlohmann::json(ProfileUsageRoute::proxy(
                ProfileProxyConfiguration(ProfileProxyScheme::socks5, "127.0.0.1", 1080))));

  expectOneLineError(
      run(korvelin({"observe", profile_, "--executable", "/usr/bin/env"})), 1,
      "Profile " + profile_ + " requires recovery before launch. Re-adoption refused: process " +
          std::to_string(started["rootPID"].get<int>()) + " runs " + probe + ", not /usr/bin/env.");

  const pid_t pid = started["rootPID"];
  ::kill(-pid, SIGKILL);
  // Whoever inherits the orphan may leave it a zombie; that is not live either.
  EXPECT_TRUE(testing::eventually([&] { return !LiveProcessIdentity::capture(pid); }));
  EXPECT_THAT(run(korvelin({"observe", profile_})).errors, HasSubstr("is not a live process"));
  EXPECT_TRUE(testing::exists(paths_.leaseFile())) << "observation never removes the lease";
}

TEST_F(CliRunTest, JournalShowsTheNewestEvents) {
  ProfilePreparer(dir_.path()).prepare(paths_);
  EXPECT_EQ(run(korvelin({"journal", profile_})).output, "no activity recorded for this profile\n");
  std::vector<ProfileActivityEvent> events;
  for (auto kind : kAllProfileActivityKinds) {
    events.push_back(
        {.profileID = id_, .kind = kind, .proxyName = "Office", .detail = "line\nbreak"});
    ProfileActivityJournal().append(events.back(), paths_);
  }

  auto json = run(korvelin({"journal", profile_, "--json", "--limit", "2"}));
  const std::size_t n = events.size();
  EXPECT_EQ(json.output,
            activityEventJSON(events[n - 2]) + "\n" + activityEventJSON(events[n - 1]) + "\n");

  const auto shown = testing::linesOf(run(korvelin({"journal", profile_})).output);
  ASSERT_EQ(shown.size(), n);
  EXPECT_THAT(shown[3], HasSubstr("  proxyUnavailableWhileRunning  Office: line?break"));
}

class CliHistoryTest : public testing::CatalogCliTest {};

TEST_F(CliHistoryTest, RunsRecoveriesAndTheJournalNewestFirstUnsafeFilesSkipped) {
  const auto created = testing::outputOf(
      korvelin({"profile", "create", "Work", "--installation", installation_, "--json"}));
  const Uuid id = *Uuid::parse(json::parse(created)["id"].get<std::string>());
  const ProfilePaths paths(id, base_);
  ASSERT_EQ(korvelin({"run", "Work", "--", "/bin/sh", "-c", "exit 3"}).exitCode, 3);

  // A run whose host was killed, its program ended by hand, then recovered.
  {
    testing::ScopedSubreaper reaper;
    const std::string pidFile = dir_.child("program.pid");
    testing::Subprocess host({testing::korvelinPath(), "--base", base_, "--no-host-start", "run",
                              "Work", "--", "/bin/sh", "-c",
                              "echo $$ > " + pidFile + "; exec sleep 60"});
    int program = 0;
    ASSERT_TRUE(
        testing::eventually([&] { return (std::ifstream(pidFile) >> program) && program > 0; },
                            std::chrono::seconds(20)));
    host.signal(SIGKILL);
    host.wait();
    // While the program lives, the lease blocks the profile and recovery.
    const std::vector<std::vector<std::string>> blocked = {{"status", "Work"},
                                                           {"run", "Work", "--", "/bin/true"},
                                                           {"recover", "Work"},
                                                           {"recover", "Work", "--dry-run"}};
    for (const auto& command : blocked)
      expectOneLineError(korvelin(command), 1,
                         "Profile " + id.uppercaseString() + " requires recovery before launch.");
    ::kill(-program, SIGKILL);
    ASSERT_TRUE(testing::eventually([&] { return testing::reapIfExited(program); }));
  }
  EXPECT_EQ(korvelin({"recover", "Work", "--dry-run"}).exitCode, 0);
  testing::outputOf(korvelin({"recover", id.uppercaseString()}));
  ProfileActivityJournal().append(
      {.profileID = id, .kind = ProfileActivityKind::proxyDisconnected, .detail = "gone"}, paths);

  // Files a reader must pass over without reading (and without blocking).
  const Uuid run = Uuid::random();
  auto failed = [&](double at) {
    return launchEventJSON("launch_failed", id, run, at, {}, {}, {});
  };
  const std::string real = paths.logs() + "/" + launchLogName(run);
  testing::makeFile(real, 0600, failed(1) + "\n");
  std::vector<std::string> skipped;
  for (int i = 0; i < 4; ++i)
    skipped.push_back(paths.logs() + "/" + launchLogName(Uuid::random()));
  testing::makeSymlink(real, skipped[0]);
  testing::makeFile(skipped[1], 0644, failed(2));
  testing::makeFile(skipped[2], 0600, failed(3));
  ASSERT_EQ(::chown(skipped[2].c_str(), 65534, 65534) == 0, ::geteuid() == 0);
  ASSERT_EQ(::mkfifo(skipped[3].c_str(), 0600), 0);
  testing::makeFile(paths.logs() + "/launch-not-a-uuid.jsonl", 0600, "{}");

  auto shown = korvelin({"history", "--json"});
  ASSERT_EQ(shown.exitCode, 0) << shown.errors;
  const auto history = json::parse(shown.output);
  std::vector<std::string> summaries;
  for (const auto& e : history["events"])
    summaries.push_back(e["summary"]);
  // Each run's log names "launch_requested", then events the history does
  // not show ("launched", "managed_group_stopped", "completion_confirmed");
  // the recovery names the killed run.
  ASSERT_EQ(summaries.size(), 5u) << shown.output;
  EXPECT_EQ(summaries, (std::vector<std::string>{"Proxy disconnected; profile stopped",
                                                 "Stale launch state recovered", "Launch requested",
                                                 "Launch requested", "Launch failed" /* 1970 */}));
  EXPECT_EQ(history["events"][1]["runID"], history["events"][2]["runID"]);
  // Three unshown events of the finished run and one of the killed run; the
  // link, the 0644 file and the FIFO; the stranger's file when it could be
  // given away.
  EXPECT_EQ(history["ignoredEntryCount"].get<std::size_t>(), ::geteuid() == 0 ? 8u : 7u);

  const auto text = testing::outputOf(korvelin({"history", "Work", "--limit", "2"}));
  EXPECT_THAT(text, HasSubstr("recovery  Stale launch state recovered"));
  EXPECT_THAT(text, Not(HasSubstr("Launch requested")));
  EXPECT_EQ(korvelin({"run", "Work", "--", "/bin/true"}).exitCode, 0) << "the profile runs again";
}

// One line at a time: the whole mapping of the launch log, and what gives nothing.
TEST(ProfileActivityReaderTest, ParsesLinesByTheirFile) {
  const Uuid profile = Uuid::random();
  const Uuid other = Uuid::random();
  const Uuid run = Uuid::random();
  const std::string launch = launchLogName(run);
  auto line = [&](std::string event, std::optional<int> code, std::optional<int> signal,
                  const Uuid& of) { return launchEventJSON(event, of, run, 7, 1, code, signal); };
  const struct {
    std::string file;
    std::string line;
    std::optional<std::string> summary;
  } cases[] = {
      {launch, line("process_exited", 2, 9, profile), "Application exited with code 2"},
      {launch, line("process_exited", {}, 9, profile), "Application stopped by signal 9"},
      {launch, line("process_exited", {}, {}, profile), "Application stopped"},
      {launch, line("native_termination_requested", {}, {}, profile), "Stop requested"},
      {launch, line("stop_timed_out", {}, {}, profile), "Stop timed out"},
      {launch, line("launched", {}, {}, profile), std::nullopt},
      {launch, line("completion_confirmed", {}, {}, profile), std::nullopt},
      {launch, line("launch_requested", {}, {}, other), std::nullopt},
      {launch, "not json", std::nullopt},
      {"activity.jsonl", R"({"kind":"launch_requested"})", std::nullopt},
      {"activity.jsonl",
       activityEventJSON({.profileID = profile, .kind = ProfileActivityKind::codexUsageReset}),
       "Codex limits reset"},
      {"recovery-x.jsonl", line("launch_requested", {}, {}, profile), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto event = ProfileActivityReader::parseLine(profile, c.file, 4, c.line);
    ASSERT_EQ(event.has_value(), c.summary.has_value());
    if (event) {
      EXPECT_EQ(event->summary, *c.summary);
      EXPECT_EQ(event->id, profile.uppercaseString() + ":" + c.file + ":4");
    }
  }
}

}  // namespace
}  // namespace korvelin
