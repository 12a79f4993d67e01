// The real Codex CLI as the judge of what the provisioner writes: `codex mcp
// list --json` must read the managed block as the server we meant, and must
// stop seeing it after removal. And what happens when Codex itself rewrites
// the file (`codex mcp add` drops our begin marker and generation comment,
// splits the header table and adds its server inside our block): every
// operation refuses and leaves the user's bytes alone.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/codex/CodexMCPConfigProvisioner.h"
#include "tests/support/CodexProfile.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/XrayPeers.h"

namespace korvelin {
namespace {

using testing::CodexProfile;
using testing::expectCoreError;

constexpr std::uint16_t kPort = 47123;
constexpr std::string_view kCapability = "cap-0123456789abcdef";
const std::string kUser =
    "model = \"o3\"\n\n[mcp_servers.user_docs]\nurl = \"http://127.0.0.1:47999/mcp\"\n";

TEST(RealCodexConfigTest, CodexReadsTheManagedServerThenItsOwnRewriteIsRefusedEverywhere) {
  std::string reason;
  const auto codex = testing::realCodexPath(reason);
  if (!codex)
    GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
  CodexProfile profile;
  CodexMCPConfigProvisioner provisioner;
  const auto runCodex = [&](std::vector<std::string> arguments) {
    // A loopback port nothing listens on: Codex stays off the network.
    const std::string proxy = "http://127.0.0.1:" + std::to_string(testing::freeLoopbackPort());
    arguments.insert(arguments.begin(), *codex);
    testing::SubprocessOptions options;
    options.environment = std::vector<std::string>{
        "HOME=" + profile.paths.home(), "CODEX_HOME=" + profile.codexHome(),
        "PATH=/usr/bin:/bin",           "HTTP_PROXY=" + proxy,
        "HTTPS_PROXY=" + proxy,         "ALL_PROXY=" + proxy};
    return testing::run(arguments, options);
  };
  // The servers Codex reads from the profile's configuration, by name.
  const auto servers = [&] {
    const auto result = runCodex({"mcp", "list", "--json"});
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    std::map<std::string, nlohmann::json> byName;
    for (const auto& server : nlohmann::json::parse(result.output))
      byName[server.at("name")] = server;
    return byName;
  };

  profile.writeConfig(kUser);
  auto receipt = provisioner.install(profile.paths, Uuid::random(), kPort, kCapability);
  auto listed = servers();
  ASSERT_TRUE(listed.count("korvelin_youtrack"));
  const auto& transport = listed["korvelin_youtrack"].at("transport");
  EXPECT_EQ(transport.at("type"), "streamable_http");
  EXPECT_EQ(transport.at("url"), "http://127.0.0.1:47123/mcp");
  EXPECT_EQ(transport.at("http_headers"), (nlohmann::json{{"X-Korvelin-Capability", kCapability}}));
  EXPECT_TRUE(listed.count("user_docs"));

  provisioner.remove(profile.paths, receipt);
  EXPECT_EQ(profile.configBytes(), kUser);
  listed = servers();
  EXPECT_FALSE(listed.count("korvelin_youtrack"));
  EXPECT_TRUE(listed.count("user_docs"));

  SCOPED_TRACE("after Codex rewrote the file");
  receipt = provisioner.install(profile.paths, Uuid::random(), kPort, kCapability);
  const auto added =
      runCodex({"mcp", "add", "added_by_codex", "--url", "http://127.0.0.1:47998/mcp"});
  ASSERT_EQ(added.exitCode, 0) << added.errors;
  const auto rewritten = profile.configBytes();
  ASSERT_NE(rewritten, receipt.installedBytes);

  const struct {
    const char* name;
    std::function<void()> operation;
    std::string detail;
  } cases[] = {
      {"remove", [&] { provisioner.remove(profile.paths, receipt); },
       "managed config changed while the run was active"},
      {"reconcile", [&] { provisioner.reconcile(profile.paths); }, "invalid managed markers"},
      {"install", [&] { provisioner.install(profile.paths, Uuid::random(), kPort, kCapability); },
       "invalid managed markers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(expectCoreError(c.operation),
              KorvelinCoreError::youTrackMCPConfigurationFailed(c.detail));
    EXPECT_EQ(profile.configBytes(), rewritten);
  }
  const auto status = provisioner.status(profile.paths);
  EXPECT_EQ(status.markerProblem, "invalid managed markers");
  EXPECT_TRUE(status.serverOutsideBlock);
  listed = servers();
  for (const char* name : {"user_docs", "added_by_codex", "korvelin_youtrack"})
    EXPECT_TRUE(listed.count(name)) << name;
}

}  // namespace
}  // namespace korvelin
