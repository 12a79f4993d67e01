#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/profile/ProfilePaths.h"
#include "tests/support/FileTreeHelpers.h"
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

TEST_F(CliRunTest, KilledHostLeavesALeaseThatOnlyProvenRecoveryRemoves) {
  testing::Subprocess host(korvelin({"run", profile_, "--json", "--", "/bin/sleep", "30"}));
  ASSERT_TRUE(host.waitForOutput("\n", std::chrono::seconds(10)));
  const auto started = nlohmann::json::parse(host.output());
  const int child = started["rootPID"];
  const std::string runID = started["runID"];
  host.signal(SIGKILL);
  host.wait();

  const std::string blocked = "Profile " + profile_ + " requires recovery before launch.";

  auto status = run(korvelin({"status", profile_}));
  EXPECT_EQ(status.exitCode, 1);
  EXPECT_EQ(status.errors, "korvelin: " + blocked + "\n");
  auto again = run(korvelin({"run", profile_, "--", "/bin/true"}));
  EXPECT_EQ(again.errors, "korvelin: " + blocked + "\n");
  auto whileAlive = run(korvelin({"recover", profile_}));
  EXPECT_EQ(whileAlive.exitCode, 1);
  EXPECT_EQ(whileAlive.errors, "korvelin: " + blocked + "\n");

  ::kill(child, SIGKILL);
  ASSERT_TRUE(eventually([&] {
    return run(korvelin({"recover", profile_, "--dry-run"})).exitCode == 0;
  }));
  auto recovered = run(korvelin({"recover", profile_}));
  EXPECT_EQ(recovered.exitCode, 0) << recovered.errors;

  EXPECT_TRUE(testing::exists(paths_.logs() + "/recovery-" + Uuid::parse(runID)->lowercaseString() +
                              ".jsonl"));
  EXPECT_EQ(testing::run(korvelin({"run", profile_, "--", "/bin/true"})).exitCode, 0);
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
