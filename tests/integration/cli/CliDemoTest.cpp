#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

// The README's main job: the whole life of a proxied profile, with real
// processes (guardian, engine, lsof, curl, the supervised application), must
// run to the end and leave nothing behind. `egress` is the address the echo
// server sees: the caller's own with the stand-in engine, the REALITY
// server's with the real one.
void expectDemoRunsToTheEnd(const std::vector<std::string>& options,
                            const std::string& egress,
                            std::vector<std::string> steps) {
  testing::ScopedTempDir dir;
  const std::string base = dir.child("demo");
  std::vector<std::string> command = {testing::korvelinPath(), "demo", "--base", base};
  command.insert(command.end(), options.begin(), options.end());
  auto result = testing::run(command);
  ASSERT_EQ(result.exitCode, 0) << result.output << result.errors;
  steps.insert(steps.end(),
               {"sidecar ready: socks5://127.0.0.1:",
                "guardian attached to the application; continuity warning: none",
                "requests crossed the proxy to the echo server (it saw " + egress + ")",
                "proxy health: available, egress address " + egress, "completion confirmed",
                "sidecar stopped; durable record is empty again", "journal holds 1 event(s)"});
  for (const auto& step : steps)
    EXPECT_NE(result.output.find(step), std::string::npos) << step << "\n" << result.output;

  auto status = testing::run({testing::korvelinPath(), "--base", base, "proxy", "status",
                              "00000000-0000-4000-8000-000000000000"});
  EXPECT_EQ(status.exitCode, 0) << status.errors;
  EXPECT_EQ(status.output, "no proxy sidecar is recorded for this profile\n");
}

TEST(CliDemoTest, ProxiedProfileRunsFromStartToOrderlyStop) {
  expectDemoRunsToTheEnd({}, "127.0.0.1",
                         {"engine: this build's stand-in, test support that forwards directly"});
}

TEST(CliDemoTest, RealEngineCarriesTheProfileThroughALoopbackRealityServer) {
  std::string reason;
  const auto xray = testing::realXrayPath(reason);
  if (!xray)
    GTEST_SKIP() << "real Xray unavailable: " << reason;
  expectDemoRunsToTheEnd({"--xray", *xray}, "127.0.0.2",
                         {"loopback REALITY server at 127.0.0.1:", "the REALITY server accepted "});
}

// --base names the profile base directory before and after the command
// alike, checked like every base.
TEST(CliDemoTest, BaseMeansTheSameInEitherPlace) {
  testing::ScopedTempDir dir;
  ::chmod(dir.path().c_str(), 0770);
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--base", dir.path(), "demo"}, {"demo", "--base", dir.path()}}) {
    std::vector<std::string> argv = {testing::korvelinPath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto result = testing::run(argv);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.errors,
              "korvelin: Unsafe profile base: directory is writable by group or others: " +
                  dir.path() + ".\n");
  }
  auto twice = testing::run(
      {testing::korvelinPath(), "--base", dir.path(), "demo", "--base", dir.child("b")});
  EXPECT_EQ(twice.exitCode, 2);
}

}  // namespace
}  // namespace korvelin
