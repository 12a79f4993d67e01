// korvelin codex-mcp end to end: the capability travels only through
// standard input and never comes back out; the generation install prints is
// what remove takes.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/platform/FileUtil.h"
#include "tests/support/ProfileCliTest.h"

namespace korvelin {
namespace {

constexpr const char* kCapability = "secret-capability-0123456789";

class CliCodexMcpTest : public testing::ProfileCliTest {
 protected:
  nlohmann::json status() {
    const auto result = testing::run(korvelin({"codex-mcp", "status", profile_, "--json"}));
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    return nlohmann::json::parse(result.output);
  }
};

TEST_F(CliCodexMcpTest, InstallStatusRemoveKeepTheCapabilityOffTheScreen) {
  testing::SubprocessOptions input;
  input.standardInput = std::string(kCapability) + "\n";
  const auto installed = testing::run(korvelin({"codex-mcp", "install", profile_, "--port", "47123",
                                                "--capability", "-", "--json"}),
                                      input);
  ASSERT_EQ(installed.exitCode, 0) << installed.errors;
  const auto generation =
      nlohmann::json::parse(installed.output).at("generation").get<std::string>();
  const auto config = platform::readSmallFile(paths_.codexHome() + "/config.toml", 1 << 20);
  ASSERT_TRUE(config && config->find(kCapability) != std::string::npos);

  auto seen = status();
  EXPECT_EQ(seen["block"]["generation"], generation);
  EXPECT_EQ(seen["block"]["port"], 47123);
  const auto text = testing::run(korvelin({"codex-mcp", "status", profile_}));
  for (const auto& output :
       {installed.output + installed.errors, seen.dump(), text.output + text.errors})
    EXPECT_EQ(output.find(kCapability), std::string::npos) << output;

  const auto wrong = testing::run(korvelin(
      {"codex-mcp", "remove", profile_, "--generation", Uuid::random().uppercaseString()}));
  EXPECT_EQ(wrong.exitCode, 1);
  const auto removed =
      testing::run(korvelin({"codex-mcp", "remove", profile_, "--generation", generation}));
  EXPECT_EQ(removed.exitCode, 0) << removed.errors;
  EXPECT_TRUE(status()["block"].is_null());

  const auto onCommandLine = testing::run(
      korvelin({"codex-mcp", "install", profile_, "--port", "47123", "--capability", kCapability}));
  EXPECT_EQ(onCommandLine.exitCode, 2);
}

}  // namespace
}  // namespace korvelin
