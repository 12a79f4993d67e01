// The probe with the real Codex backend (hard-linked into the bundle) and
// real Chromium, started by a stand-in desktop executable: it approves only
// what created its state in the throw-away profile and stayed unchanged.
// The approving path runs end to end, through `korvelin`.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/apps/CodexCompatibilityProbe.h"
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

using Case = KorvelinCoreError::Case;
using nlohmann::json;
using testing::BundleFixtures;
using testing::expectCoreError;

const ManagedApplication& codexRow() {
  return ManagedApplicationSupport::applications[0];
}

class CodexCompatibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    auto path = testing::realCodexPath(reason);
    if (!path)
      GTEST_SKIP() << "real Codex CLI unavailable: " << reason;
    realCodex = *path;
    ::chmod(base.path().c_str(), 0700);
  }

  // A Codex bundle of an unverified build whose desktop executable is
  // `program` and whose backend is the real Codex CLI.
  std::string makeBundle(const std::string& program, const std::string& name = "") {
    auto layout = BundleFixtures::layoutFor(codexRow());
    layout.program = program;
    layout.backend.clear();  // the real one, linked below
    layout.plist["CFBundleShortVersionString"] = "26.903.61454";
    layout.plist["CFBundleVersion"] = "8379";
    const std::string bundle = bundles.make(layout, name);
    testing::makeDirectory(bundle + "/Contents/Resources", 0755);
    EXPECT_EQ(::link(realCodex.c_str(), (bundle + "/Contents/Resources/codex").c_str()), 0);
    return bundle;
  }

  // Whether a live process's command line names `text` (Chromium names its
  // user-data directory, the stand-in its own arguments).
  static bool processNaming(const std::string& text) {
    return testing::run({"/usr/bin/pgrep", "-f", text}).exitCode == 0;
  }

  testing::RunResult korvelin(std::vector<std::string> arguments, std::string input = "") {
    arguments.insert(arguments.begin(), {testing::korvelinPath(), "--base", base.path()});
    return testing::run(arguments, {.standardInput = std::move(input)});
  }

  CodexCompatibilityProbe probe(double timeout) const {
    return CodexCompatibilityProbe(base.path(), base.child("default"), timeout);
  }

  bool approvalWritten() const { return testing::exists(base.child("codex-compatibility.json")); }

  // The throw-away profiles the probe made.
  std::vector<std::string> checkProfiles() const {
    std::vector<std::string> roots;
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator(base.child("CompatibilityChecks/Profiles"), ignored))
      roots.push_back(entry.path());
    return roots;
  }

  // No subreaper here: the stand-in's children outlive it for a moment, and
  // orphans adopted by this process would stay in the group as zombies.
  std::string realCodex;
  BundleFixtures bundles;
  testing::ScopedTempDir base;
};

// A Codex that creates nothing, and one whose bundle changes while it runs:
// neither is approved, and nothing of either run is left.
TEST_F(CodexCompatibilityTest, NoApprovalWithoutEvidenceOrForAChangedBundle) {
  struct Case_ {
    const char* program;
    bool changesBundle;
    Case expected;
  };
  for (const auto& c : {Case_{"idle-app", false, Case::compatibilityCheckFailed},
                        Case_{"desktop-standin", true, Case::installationChanged}}) {
    SCOPED_TRACE(c.program);
    const std::string bundle = makeBundle(c.program, std::string(c.program) + ".app");
    if (c.changesBundle)
      testing::makeFile(bundle + "/Contents/Resources/change-bundle-on-start", 0644);
    const auto checker = probe(c.changesBundle ? 120 : 1.5);
    const auto installation = checker.adapter().inspect(bundle);
    const auto error = expectCoreError([&] { checker.check(installation); });
    EXPECT_EQ(error.errorCase(), c.expected) << error.errorDescription();
    if (c.expected == Case::compatibilityCheckFailed) {
      EXPECT_EQ(error.errorDescription(),
                "Codex compatibility check failed: Codex did not create isolated profile evidence "
                "before the timeout.");
    }
    EXPECT_FALSE(approvalWritten());
    for (const auto& root : checkProfiles()) {
      EXPECT_FALSE(testing::exists(root + "/.launch.lock")) << root;
      // Chromium's crash handler runs in a session of its own, outside the
      // run's group, and names the profile's home; it ends on its own once
      // the browser is gone, which on a loaded machine takes a moment.
      EXPECT_TRUE(
          testing::eventually([&] { return !processNaming(root); }, std::chrono::seconds(10)))
          << root;
    }
  }
}

// `korvelin` end to end with a Codex profile behind a saved connection: the
// version is approved by `codex check`, the profile launched through its
// sidecar and the real Xray (whose server's only way out is loopback), and
// the application's process group alone keeps that sidecar alive once the
// host is gone.
TEST_F(CodexCompatibilityTest, ACheckedCodexRunsConfinedBehindItsSidecarWhichEndsWithIt) {
  std::string reason;
  const auto xray = testing::realXrayPath(reason);
  if (!xray)
    GTEST_SKIP() << "real Xray unavailable: " << reason;
  const std::string realXray = *xray;
  const std::string bundle = makeBundle("desktop-standin");

  const testing::ScopedTempDir serverDirectory;
  testing::XrayServer server(realXray, serverDirectory.path(), testing::VlessShape::realityTCP);
  demo::LoopbackEchoServer echo;
  const auto added =
      korvelin({"connection", "add", "Loopback", "--link", "-", "--json"}, server.link() + "\n");
  ASSERT_EQ(added.exitCode, 0) << added.errors;
  const std::string connection = json::parse(added.output).at("id");

  // Refused until checked, then approved for exactly this installation.
  const auto inspected = korvelin({"app", "inspect", bundle, "--json"});
  EXPECT_EQ(json::parse(inspected.output).at("compatibilityStatus"), "unverifiedVersion");
  const auto refused = korvelin({"profile", "create", "Work", "--bundle", bundle});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.errors, "korvelin: Codex version 26.903.61454 (8379) is not verified.\n");
  const auto checked = korvelin({"codex", "check", bundle, "--timeout", "120", "--json"});
  ASSERT_EQ(checked.exitCode, 0) << checked.errors;
  const auto installation = json::parse(checked.output).at("installation");
  EXPECT_EQ(installation.at("compatibilityStatus"), "locallyVerified");
  const auto approvals = json::parse(korvelin({"codex", "approvals", "--json"}).output);
  ASSERT_EQ(approvals.at("approvals").size(), 1u);
  EXPECT_EQ(approvals.at("approvals")[0].at("codeDirectoryHash"),
            installation.at("codeDirectoryHash"));
  const auto created = korvelin(
      {"profile", "create", "Work", "--bundle", bundle, "--connection", connection, "--json"});
  ASSERT_EQ(created.exitCode, 0) << created.errors;
  const std::string id = json::parse(created.output).at("id");
  const std::string root = base.child("Profiles/" + Uuid::parse(id)->lowercaseString());

  testing::Subprocess launch({testing::korvelinPath(), "--base", base.path(), "launch", "Work",
                              "--json", "--xray", realXray, "--probe-url", echo.url()});
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

  EXPECT_EQ(testing::commandLineOf(app),
            bundle + "/Contents/MacOS/ChatGPT --user-data-dir=" + root +
                "/user-data --no-first-run --proxy-server=" + proxy + " ");
  const std::string environment =
      std::string(1, '\0') + testing::readText("/proc/" + std::to_string(app) + "/environ");
  for (const std::string& expected :
       {"HOME=" + root + "/home", "USERPROFILE=" + root + "/home",
        "XDG_CONFIG_HOME=" + root + "/config", "XDG_CACHE_HOME=" + root + "/cache",
        "CODEX_HOME=" + root + "/home/.codex", std::string("CODEX_SPARKLE_ENABLED=false"),
        "HTTP_PROXY=" + proxy, "HTTPS_PROXY=" + proxy, "ALL_PROXY=" + proxy,
        std::string("NO_PROXY=localhost,127.0.0.1,::1")})
    EXPECT_NE(environment.find('\0' + expected + '\0'), std::string::npos) << expected;
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

  // Other code in the executable is another installation: checked again.
  const std::string executable = bundle + "/Contents/MacOS/ChatGPT";
  const std::string bytes = testing::readText(executable);
  ASSERT_EQ(::unlink(executable.c_str()), 0);
  testing::makeFile(executable, 0755, bytes + "\n");
  EXPECT_EQ(
      json::parse(korvelin({"app", "inspect", bundle, "--json"}).output).at("compatibilityStatus"),
      "unverifiedVersion");
}

}  // namespace
}  // namespace korvelin
