#include <gtest/gtest.h>

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

// The README's main job: the whole life of a proxied profile, with real
// processes (guardian, stand-in engine, lsof, curl, the supervised
// application), must run to the end and leave nothing behind.
TEST(CliDemoTest, ProxiedProfileRunsFromStartToOrderlyStop) {
  testing::ScopedTempDir dir;
  const std::string base = dir.child("demo");
  auto result = testing::run({testing::korvelinPath(), "demo", "--base", base});
  ASSERT_EQ(result.exitCode, 0) << result.output << result.errors;
  for (const char* step : {"sidecar ready: socks5://127.0.0.1:", "guardian attached to the application; continuity warning: none",
                           "requests crossed the proxy to the echo server (it saw 127.0.0.1)",
                           "proxy health: available, egress address 127.0.0.1", "completion confirmed",
                           "sidecar stopped; durable record is empty again", "journal holds 1 event(s)"})
    EXPECT_NE(result.output.find(step), std::string::npos) << step << "\n" << result.output;

  auto status = testing::run({testing::korvelinPath(), "--base", base, "proxy", "status",
                              "00000000-0000-4000-8000-000000000000"});
  EXPECT_EQ(status.exitCode, 0) << status.errors;
  EXPECT_EQ(status.output, "no proxy sidecar is recorded for this profile\n");
}

TEST(CliDemoTest, RefusesABaseThatAlreadyExists) {
  testing::ScopedTempDir dir;
  auto result = testing::run({testing::korvelinPath(), "demo", "--base", dir.path()});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.errors, "korvelin: --base must name a directory that does not exist yet: " +
                               dir.path() + "\n");
}

}  // namespace
}  // namespace korvelin
