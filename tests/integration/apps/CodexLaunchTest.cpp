// `korvelin` end to end with a Codex profile behind a saved connection: the
// version is approved by `codex check`, the profile launched through its
// sidecar and the real Xray (whose server's only way out is loopback), and
// the application's process group alone keeps that sidecar alive once the
// host is gone.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "demo/LoopbackEchoServer.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/XrayPeers.h"

namespace korvelin {
namespace {

using nlohmann::json;
using testing::korvelinPath;

// NUL-separated /proc text, split.
std::vector<std::string> procList(pid_t pid, const char* file) {
  std::string text = testing::readText("/proc/" + std::to_string(pid) + "/" + file);
  std::vector<std::string> items;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\0', start);
    if (end == std::string::npos)
      end = text.size();
    items.push_back(text.substr(start, end - start));
  }
  return items;
}

class CodexLaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    const auto codex = testing::realCodexPath(reason);
    if (!codex)
      GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
    const auto xray = testing::realXrayPath(reason);
    if (!xray)
      GTEST_SKIP() << "real Xray unavailable: " << reason;
    realCodex = *codex;
    realXray = *xray;
    ::chmod(base.path().c_str(), 0700);
  }

  testing::RunResult korvelin(std::vector<std::string> arguments, std::string input = "") {
    arguments.insert(arguments.begin(), {korvelinPath(), "--base", base.path()});
    return testing::run(arguments, {.standardInput = std::move(input)});
  }

  std::string realCodex;
  std::string realXray;
  testing::ScopedTempDir base;
  testing::BundleFixtures bundles;
};

TEST_F(CodexLaunchTest, ACheckedCodexRunsConfinedBehindItsSidecarWhichEndsWithIt) {
  auto spec = testing::BundleFixtures::specFor(ManagedApplicationSupport::applications[0]);
  spec.program = "codex-desktop";
  spec.backend.clear();  // the real one, linked below
  spec.plist["CFBundleShortVersionString"] = "26.903.61454";
  spec.plist["CFBundleVersion"] = "8379";
  const std::string bundle = bundles.make(spec);
  testing::makeDirectory(bundle + "/Contents/Resources", 0755);
  ASSERT_EQ(::link(realCodex.c_str(), (bundle + "/Contents/Resources/codex").c_str()), 0);

  const testing::ScopedTempDir serverDirectory;
  testing::XrayServer server(realXray, serverDirectory.path(), testing::VlessShape::realityTCP);
  demo::LoopbackEchoServer echo;
  const auto added =
      korvelin({"connection", "add", "Loopback", "--link", "-", "--json"}, server.link() + "\n");
  ASSERT_EQ(added.exitCode, 0) << added.errors;
  const std::string connection = json::parse(added.output).at("id");

  const auto checked = korvelin({"codex", "check", bundle, "--timeout", "120", "--json"});
  ASSERT_EQ(checked.exitCode, 0) << checked.errors;
  const auto installation = json::parse(checked.output).at("installation");
  EXPECT_EQ(installation.at("compatibilityStatus"), "locallyVerified");
  const std::string record = base.child("installation.json");
  testing::makeFile(record, 0600, installation.dump());
  const auto created = korvelin({"profile", "create", "Work", "--installation", record,
                                 "--connection", connection, "--json"});
  ASSERT_EQ(created.exitCode, 0) << created.errors;
  const std::string id = json::parse(created.output).at("id");
  const std::string root = base.child("Profiles/" + Uuid::parse(id)->lowercaseString());

  testing::Subprocess launch({korvelinPath(), "--base", base.path(), "launch", "Work", "--json",
                              "--xray", realXray, "--probe-url", echo.url()});
  ASSERT_TRUE(launch.waitForOutput("sidecar_attached", std::chrono::seconds(60)))
      << launch.output() << launch.errors();
  pid_t app = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = launch.output().find('\n', start)) != std::string::npos;
       start = end + 1) {
    const auto event = json::parse(launch.output().substr(start, end - start));
    if (event.at("event") == "application_started")
      app = std::stoi(event.at("detail").get<std::string>());
  }
  ASSERT_GT(app, 0);
  const auto state = json::parse(korvelin({"xray-state", "Work", "--json"}).output);
  const pid_t guardian = state.at("guardianPID");
  const std::string proxy =
      "socks5://127.0.0.1:" + std::to_string(state.at("loopbackPort").get<int>());

  EXPECT_EQ(procList(app, "cmdline"),
            (std::vector<std::string>{bundle + "/Contents/MacOS/" + spec.executableName,
                                      "--user-data-dir=" + root + "/user-data", "--no-first-run",
                                      "--proxy-server=" + proxy}));
  const auto environment = procList(app, "environ");
  for (const std::string& expected :
       {"HOME=" + root + "/home", "USERPROFILE=" + root + "/home",
        "XDG_CONFIG_HOME=" + root + "/config", "XDG_CACHE_HOME=" + root + "/cache",
        "CODEX_HOME=" + root + "/home/.codex", std::string("CODEX_SPARKLE_ENABLED=false"),
        "HTTP_PROXY=" + proxy, "HTTPS_PROXY=" + proxy, "ALL_PROXY=" + proxy,
        std::string("NO_PROXY=localhost,127.0.0.1,::1")})
    EXPECT_NE(std::find(environment.begin(), environment.end(), expected), environment.end())
        << expected;
  // Codex fills its home inside the profile.
  EXPECT_TRUE(testing::eventually(
      [&] { return !testing::readText(root + "/home/.codex/installation_id").empty(); },
      std::chrono::seconds(60)));

  // The host dies; the sidecar stays for the application's group, and ends
  // with it.
  launch.signal(SIGKILL);
  launch.wait();
  EXPECT_TRUE(testing::processExists(guardian));
  ASSERT_EQ(::kill(-app, SIGTERM), 0);
  EXPECT_TRUE(testing::eventually([&] { return !testing::processExists(guardian); },
                                  std::chrono::seconds(30)));
  EXPECT_TRUE(testing::eventually([&] { return ::kill(-app, 0) != 0; }, std::chrono::seconds(30)));
}

}  // namespace
}  // namespace korvelin
