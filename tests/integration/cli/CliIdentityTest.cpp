#include <unistd.h>

#include <ctime>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/process/LiveProcessIdentity.h"
#include "tests/support/Subprocess.h"

namespace korvelin {
namespace {

using testing::korvelinPath;
using testing::run;

TEST(CliIdentityTest, JsonHasExactlyTheSevenKeysAndTheRealStartTime) {
  const auto before = static_cast<uint64_t>(std::time(nullptr));
  testing::Subprocess sleeper({"/bin/sleep", "30"});
  const auto after = static_cast<uint64_t>(std::time(nullptr));
  auto result = run({korvelinPath(), "identity", std::to_string(sleeper.pid()), "--json"});
  ASSERT_EQ(result.exitCode, 0) << result.errors;
  // The decoder takes exactly the seven keys.
  const auto identity = nlohmann::json::parse(result.output).get<LiveProcessIdentity>();
  EXPECT_EQ(identity.pid, sleeper.pid());
  EXPECT_EQ(identity.executable, "/usr/bin/sleep");
  // Clock ticks are 10 ms; allow a second either side for the tick rounding.
  EXPECT_GE(identity.startSeconds + 1, before);
  EXPECT_LE(identity.startSeconds, after + 1);
}

TEST(CliIdentityTest, BadOrAbsentProcessesGetOneLineErrors) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
  };
  const std::vector<Case> cases = {
      {{"identity", "abc"}, 2}, {{"identity", "--", "-5"}, 2},
      {{"identity", "-5"}, 2},  {{"identity", "12x"}, 2},
      {{"identity", "0"}, 2},   {{"identity", "99999999999"}, 2},
      {{"identity", "1"}, 1},   {{"identity", "999999999"}, 1},
      {{"identity"}, 2},        {{"identity", "1", "--arguments", "--bogus"}, 2},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {korvelinPath()};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    auto result = run(argv);
    SCOPED_TRACE(c.arguments.back());
    EXPECT_EQ(result.exitCode, c.exitCode) << result.errors;
    EXPECT_TRUE(result.output.empty());
    ASSERT_FALSE(result.errors.empty());
    EXPECT_EQ(result.errors.find('\n'), result.errors.size() - 1) << result.errors;
    EXPECT_EQ(result.errors.rfind("korvelin: ", 0), 0u) << result.errors;
  }
}

TEST(CliIdentityTest, VersionIsPrinted) {
  auto result = run({korvelinPath(), "--version"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output.rfind("korvelin ", 0), 0u);
}

}  // namespace
}  // namespace korvelin
