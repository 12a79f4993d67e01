// korvelin connection add|list|show|rename|remove, profiles that use a saved
// connection, and the store after writers were killed or raced.

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/apps/CodexInstallation.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using nlohmann::json;
using testing::RunResult;

const std::string kUser = "b831381d-6324-4d53-ad4f-8cda48b30811";
const std::string kLink = "vless://" + kUser +
                          "@203.0.113.5:443?type=tcp&security=reality&sni=www.example.com"
                          "&fp=chrome&flow=xtls-rprx-vision&sid=6ba85179e30d4fc2"
                          "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc#Home";
const std::string kGrpcLink = "vless://" + kUser +
                              "@203.0.113.5:443?type=grpc&security=tls&sni=www.example.com"
                              "&fp=chrome&serviceName=svc";

class CliConnectionTest : public testing::CatalogCliTest {
 protected:
  // Runs and keeps everything printed, for the check that no secret shows.
  RunResult korvelin(std::vector<std::string> arguments, std::string input = "") {
    auto result = CatalogCliTest::korvelin(std::move(arguments), std::move(input));
    printed_ += result.output + result.errors;
    return result;
  }
  json listed() {
    auto result = korvelin({"connection", "list", "--json"});
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    return json::parse(result.output)["connections"];
  }

  std::string printed_;
};

TEST_F(CliConnectionTest, LifecycleNeverShowsTheLinkUnlessRevealed) {
  auto added = korvelin({"connection", "add", "Home", "--link", "-", "--json"}, kLink + "\n");
  ASSERT_EQ(added.exitCode, 0) << added.errors;
  const std::string id = json::parse(added.output)["id"];

  struct Refusal {
    std::vector<std::string> arguments;
    int exitCode;
    std::string error;
  };
  const std::vector<Refusal> refusals = {
      {{"connection", "add", "HOME", "--link", kLink},
       1,
       "korvelin: A proxy connection with this name already exists.\n"},
      {{"connection", "add", "Other", "--link", kLink.substr(0, 60)},
       1,
       "korvelin: The VLESS link is invalid or uses unsupported settings.\n"},
      {{"connection", "show", kLink}, 2, ""},
      {{"connection", "rename", kUser, "X", "--link", kLink}, 1, ""},
      {{"profile", "create", "P", "--installation", installation_, "--connection", kUser}, 1, ""},
  };
  for (const auto& refusal : refusals) {
    auto result = korvelin(refusal.arguments);
    EXPECT_EQ(result.exitCode, refusal.exitCode) << result.errors;
    if (!refusal.error.empty()) {
      EXPECT_EQ(result.errors, refusal.error);
    }
  }

  auto renamed = korvelin({"connection", "rename", id, "HOME", "--link", kGrpcLink});
  ASSERT_EQ(renamed.exitCode, 0) << renamed.errors;
  EXPECT_NE(renamed.output.find("VLESS (gRPC)"), std::string::npos);
  EXPECT_EQ(korvelin({"connection", "list"}).exitCode, 0);
  EXPECT_EQ(korvelin({"connection", "show", id}).exitCode, 0);

  auto profile =
      korvelin({"profile", "create", "P", "--installation", installation_, "--connection", id});
  ASSERT_EQ(profile.exitCode, 0) << profile.errors;
  auto inUse = korvelin({"connection", "remove", id});
  EXPECT_EQ(inUse.exitCode, 1);
  EXPECT_EQ(listed().size(), 1u);
  EXPECT_EQ(printed_.find(kUser), std::string::npos) << printed_;
  EXPECT_EQ(printed_.find("vless://"), std::string::npos) << printed_;

  auto revealed = testing::run(command({"connection", "show", id, "--reveal"}));
  EXPECT_EQ(revealed.output, kGrpcLink + "\n");
  ASSERT_EQ(korvelin({"profile", "delete", "P"}).exitCode, 0);
  ASSERT_EQ(korvelin({"connection", "remove", id}).exitCode, 0);
  EXPECT_TRUE(listed().empty());
  EXPECT_FALSE(testing::exists(base_ + "/ProxyConnections/Secrets/" + id + ".vless"));
}

// Two adds at once: one may be refused (the other holds the instance lease),
// but one that reported success is always listed.
TEST_F(CliConnectionTest, ConcurrentAddsLoseNothing) {
  std::size_t kept = 0;
  for (int round = 0; round < 4; ++round) {
    testing::Subprocess first(
        command({"connection", "add", "a" + std::to_string(round), "--link", kLink}));
    testing::Subprocess second(
        command({"connection", "add", "b" + std::to_string(round), "--link", kLink}));
    for (auto* process : {&first, &second}) {
      const auto status = process->wait();
      ASSERT_TRUE(status && WIFEXITED(*status)) << process->errors();
      ASSERT_LE(WEXITSTATUS(*status), 1) << process->errors();
      kept += WEXITSTATUS(*status) == 0 ? 1 : 0;
    }
    EXPECT_EQ(listed().size(), kept);
  }
  EXPECT_GE(kept, 4u);
}

// Writers killed at any moment leave a store that loads, and every listed
// connection's link still parses.
TEST_F(CliConnectionTest, KilledWritersLeaveALoadableStore) {
  auto first = korvelin({"connection", "add", "seed", "--link", kLink, "--json"});
  ASSERT_EQ(first.exitCode, 0) << first.errors;
  const std::string seed = json::parse(first.output)["id"];
  for (int round = 0; round < 24; ++round) {
    const bool update = round % 2 == 1;
    testing::Subprocess writer(
        update ? command({"connection", "rename", seed, "seed", "--link",
                          round % 4 == 1 ? kGrpcLink : kLink})
               : command({"connection", "add", "n" + std::to_string(round), "--link", kLink}));
    std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 12)));
    writer.signal(SIGKILL);
    writer.wait();
    for (const auto& connection : listed()) {
      auto shown = testing::run(command({"connection", "show", connection["id"], "--reveal"}));
      EXPECT_EQ(shown.exitCode, 0) << shown.errors;
    }
  }
}

}  // namespace
}  // namespace korvelin
