#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/platform/ProcessInfo.h"
#include "core/process/LaunchLease.h"
#include "core/profile/ProfilePaths.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using testing::eventually;
using testing::korvelinPath;
using testing::run;

class CliRunTest : public testing::ProfileCliTest {};

TEST_F(CliRunTest, ProgramRunsInTheProfileAndItsExitCodeIsPassedOn) {
  auto result = run(korvelin(
      {"run", profile_, "--env", "GREETING=hi", "--", "/bin/sh", "-c",
       "test \"$GREETING\" = hi && test \"$HOME\" = \"" + paths_.home() + "\" && exit 5"}));
  EXPECT_EQ(result.exitCode, 5) << result.errors;
  EXPECT_NE(result.output.find("exited with code 5; completion confirmed"), std::string::npos)
      << result.output;
  struct stat st;
  EXPECT_NE(::stat(paths_.leaseFile().c_str(), &st), 0) << "completion removed the lease";

  auto refused = run(korvelin({"run", profile_, "--env", "HOME=/elsewhere", "--", "/bin/true"}));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.errors, "korvelin: HOME is managed by Korvelin and cannot be overridden.\n");
}

TEST_F(CliRunTest, InterruptStopsTheGroupAndConfirmsCompletion) {
  testing::Subprocess host(korvelin({"run", profile_, "--json", "--", "/bin/sleep", "30"}));
  ASSERT_TRUE(host.waitForOutput("\n", std::chrono::seconds(10)));
  auto started = nlohmann::json::parse(host.output());
  host.signal(SIGINT);
  auto status = host.wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 128 + SIGTERM);
  std::istringstream lines(host.output());
  std::string first, second;
  std::getline(lines, first);
  std::getline(lines, second);
  auto completed = nlohmann::json::parse(second);
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

TEST_F(CliRunTest, KeepsSupervisingWhenItsOutputGoesAway) {
  // `korvelin run ... | true`: nobody reads standard output.
  int output[2];
  ASSERT_EQ(::pipe(output), 0);
  const auto argv = korvelin({"run", profile_, "--", "/bin/sleep", "300"});
  const pid_t host = ::fork();
  if (host == 0) {
    ::dup2(output[1], STDOUT_FILENO);
    ::close(output[0]);
    ::close(output[1]);
    std::vector<char*> pointers;
    for (const auto& argument : argv)
      pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  ::close(output[0]);
  ::close(output[1]);
  const auto lease = runningLease(paths_);
  ASSERT_TRUE(lease);
  ::kill(host, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(host, &status, 0), host);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM)
      << "wait status " << status << ": the host must outlive its output and stop its program";
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
  // Every program of a killed host becomes this process's child, whatever
  // moment the kill hit: a child before its exec, a stopped one, a running one.
  testing::ScopedSubreaper subreaper;
  const std::set<pid_t> before = testing::childrenOfThisProcess();
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delayMicroseconds(0, 50'000);
  int named = 0;
  for (int round = 0; round < 200; ++round) {
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
    if (lease && ::kill(-lease->rootPID, SIGKILL) == 0) {
      ++named;
      ::waitpid(lease->rootPID, nullptr, 0);
    }
    for (pid_t child : testing::childrenOfThisProcess()) {
      if (before.count(child))
        continue;
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, __WALL);
    }
  }
  std::cout << named << " of 200 killed hosts had started their program\n";
}

TEST_F(CliRunTest, BadCommandLinesGetOneLineErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"run", "not-a-uuid", "--", "/bin/true"},
      {"run", profile_, "--env", "NOEQUALS", "--", "/bin/true"},
      {"run", profile_, "--stop-timeout", "0", "--", "/bin/true"},
      {"status", "123"},
      {"recover", "x"},
  };
  for (const auto& arguments : cases) {
    auto result = run(korvelin(arguments));
    EXPECT_EQ(result.exitCode, 2) << arguments[1];
    EXPECT_EQ(result.errors.find('\n'), result.errors.size() - 1) << result.errors;
  }
  auto missing = run(korvelin({"run", profile_, "--", "/nonexistent/program"}));
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.errors,
            "korvelin: program not found or not executable: /nonexistent/program\n");
}

}  // namespace
}  // namespace korvelin
