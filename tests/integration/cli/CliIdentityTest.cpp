
#include <optional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/process/LiveProcessIdentity.h"
#include "tests/support/Subprocess.h"

namespace korvelin {
namespace {

using testing::korvelinPath;
using testing::run;

TEST(CliIdentityTest, JsonHasExactlyTheSevenKeysAndAgreesWithThisProcess) {
  testing::Subprocess sleeper({"/bin/sleep", "30"});
  std::optional<LiveProcessIdentity> here;
  ASSERT_TRUE(testing::eventually([&] {
    here = LiveProcessIdentity::capture(sleeper.pid());
    return here && here->executable == "/usr/bin/sleep";
  }));
  auto result = run({korvelinPath(), "identity", std::to_string(sleeper.pid()), "--json"});
  ASSERT_EQ(result.exitCode, 0) << result.errors;
  auto json = nlohmann::json::parse(result.output);
  std::vector<std::string> keys;
  for (const auto& [key, value] : json.items())
    keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"bootSessionID", "executable", "group", "pid",
                                            "startMicroseconds", "startSeconds", "uid"}));
  // Another process, later, names the same incarnation the same way.
  EXPECT_EQ(json.get<LiveProcessIdentity>(), *here);
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

}  // namespace
}  // namespace korvelin
