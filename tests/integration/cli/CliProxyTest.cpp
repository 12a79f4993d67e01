// korvelin proxy, vless, connection, xray-state and demo: a proxied
// profile's life, the saved connections, and what every command may say
// about a link.

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/guardian/GuardianClient.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/proxy/VLESSConnection.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/RealXray.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::expectOneLineError;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::run;
using testing::runKorvelin;
using testing::RunResult;
using testing::Subprocess;

const std::string& kUser = testing::kSampleUser;
const std::string& kShortID = testing::kSampleShortID;
const std::string& kLink = testing::kSampleLink;
const std::string kGrpcLink = "vless://" + kUser +
                              "@203.0.113.5:443?type=grpc&security=tls&sni=www.example.com"
                              "&fp=chrome&serviceName=svc";
const std::string kInvalid = "The VLESS link is invalid or uses unsupported settings.";

class CliProxyTest : public testing::ProfileCliTest {
 protected:
  // No real engine in this home: a link given to a command is refused at
  // once instead of being served.
  testing::SubprocessOptions withoutEngine(std::string input = {}) {
    return {.standardInput = std::move(input),
            .environment = std::vector<std::string>{"HOME=" + dir_.path(), "PATH=/usr/bin:/bin"}};
  }

  XrayDurableState record() { return XrayDurableStateStore().readOnly(paths_); }
};

// A link typed in any place of any command never comes back in an error,
// nor does a user id or short id typed on its own in a usage error (other
// errors name the paths and programs they were given).
TEST_F(CliProxyTest, NoErrorShowsALinkWhereverItWasTyped) {
  const std::string p = profile_;
  const std::vector<std::vector<std::string>> usages = {
      {"paths", p},
      {"prepare", p},
      {"check", p},
      {"status", p},
      {"recover", p},
      {"xray-state", p},
      {"observe", p},
      {"journal", p},
      {"identity", "1"},
      {"vless", "check", "-", "--port", "1"},
      {"run", p, "--", "/bin/true"},
      {"launch", p},
      {"app", "inspect", "x"},
      {"app", "arch", "x"},
      {"oauth", "route", "https://claude.ai/", "--claude", p},
      {"claude-code", "find", "--home", p},
      {"demo"},
      {"proxy", "start", p, "--link", "-"},
      {"proxy", "status", p},
      {"proxy", "stop", p},
      {"proxy", "recover", p},
      {"proxy", "observe", p},
      {"traffic", p},
      {"profile", "list"},
      {"profile", "show", p},
      {"profile", "delete", p},
      {"profile", "update", p, "--name", "x"},
      {"profile", "create", "x", "--installation", "{}"},
      {"codex-mcp", "install", p, "--port", "1", "--capability", "-"},
      {"codex-mcp", "remove", p, "--generation", p},
      {"codex-mcp", "reconcile", p},
      {"codex-mcp", "status", p},
      {"codex", "approvals"},
      {"usage", p},
      {"codex", "check", p},
      {"connection", "add", "x", "--link", "-"},
      {"connection", "rename", p, "x"},
      {"history", p},
      {"diagnose", p},
      {"host"},
      {"ps"},
      {"stop", p},
      {"probe", "--proxy", "socks5://127.0.0.1:9"},
      {"text", "Cancel"},
      {"text", "--render", "x"},
      {"update", "verify", "-", "--public-key", "x", "--app-id", "y"},
      {"update", "check", "--feed", "https://127.0.0.1:9/f", "--public-key", "x", "--app-id", "y"},
      {"youtrack", "serve", p, "--upstream", "https://127.0.0.1:9/mcp"},
  };
  // Every command is in the table.
  const auto help = testing::linesOf(run({testing::korvelinPath(), "--help"}).output);
  for (auto line = std::find(help.begin(), help.end(), "Subcommands:") + 1;
       line < help.end() && !line->empty(); ++line) {
    const std::string name = line->substr(2, line->find(' ', 2) - 2);
    EXPECT_TRUE(std::any_of(usages.begin(), usages.end(),
                            [&](const auto& usage) { return usage[0] == name; }))
        << name << " is missing";
  }
  std::vector<std::vector<std::string>> variants;
  for (const auto& usage : usages) {
    for (std::size_t at = 0; at <= usage.size(); ++at) {
      std::vector<std::vector<std::string>> around = {usage, usage, usage, usage, usage};
      around[0].insert(around[0].begin() + at, kLink);
      around[3].insert(around[3].begin() + at, kUser);
      around[4].insert(around[4].begin() + at, kShortID);
      if (at < usage.size()) {
        around[1][at] = kLink;
        around[2][at] = usage[at].starts_with("-") ? usage[at] + "=" + kLink : "--json=" + kLink;
      } else {
        around.erase(around.begin() + 1, around.begin() + 3);
      }
      variants.insert(variants.end(), around.begin(), around.end());
    }
  }
  // Four at a time, each slot in a base of its own: no command waits for
  // another's lease, and each slot sees the commands before it in order.
  constexpr std::size_t kSlots = 4;
  for (std::size_t slot = 0; slot < kSlots; ++slot)
    testing::makeDirectory(dir_.child("slot" + std::to_string(slot)));
  for (std::size_t first = 0; first < variants.size(); first += kSlots) {
    std::vector<std::unique_ptr<Subprocess>> batch;
    for (std::size_t i = first; i < std::min(first + kSlots, variants.size()); ++i) {
      std::vector<std::string> argv = {testing::korvelinPath(), "--base",
                                       dir_.child("slot" + std::to_string(i % kSlots)),
                                       "--no-host-start"};
      argv.insert(argv.end(), variants[i].begin(), variants[i].end());
      batch.push_back(std::make_unique<Subprocess>(argv, withoutEngine()));
    }
    for (std::size_t i = first; i < first + batch.size(); ++i) {
      const auto& arguments = variants[i];
      std::string shown;
      for (const auto& word : arguments)
        shown += " " + word.substr(0, 12);
      SCOPED_TRACE(shown);
      auto& process = *batch[i - first];
      const auto status = process.wait();
      ASSERT_TRUE(status && WIFEXITED(*status));
      const bool link = std::any_of(arguments.begin(), arguments.end(),
                                    [](const std::string& word) { return word.ends_with(kLink); });
      if (!link && WEXITSTATUS(*status) != 2)
        continue;
      for (const auto& secret : {kUser.substr(0, 8), kShortID, std::string("vless:")})
        EXPECT_THAT(process.errors(), Not(HasSubstr(secret)));
    }
  }
}

// The stand-in engine forwards directly: a real link must never be handed to
// it, and without a real engine nothing serves one. Standard input is read
// up to what it may hold, never further.
TEST_F(CliProxyTest, ARealLinkNeedsARealEngineAndInputIsReadNoFurther) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"proxy", "start", profile_, "--link", kLink},
        {"demo", "--link", kLink},
        {"demo", "--link", "-"}}) {
    const auto result = run(korvelin(arguments), withoutEngine(kLink));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.errors, ::testing::StartsWith("korvelin: no real engine found at " +
                                                     dir_.path() + "/.cache/korvelin/"));
  }
  const std::vector<std::pair<std::string, int>> commands = {
      {"proxy start " + profile_ + " --link -", 1},
      {"demo --link -", 1},
      {"vless check -", 1},
      {"codex-mcp install " + profile_ + " --port 1 --capability -", 2}};
  for (const auto& [command, expected] : commands) {
    SCOPED_TRACE(command);
    const auto result =
        run({"/bin/sh", "-c",
             "head -c 4000000 /dev/zero | { " + testing::korvelinPath() + " --base " + dir_.path() +
                 " " + command + "; echo \" $?\"; wc -c; }"});
    std::istringstream words(result.output);
    int status = 0;
    long left = 0;
    words >> status >> left;
    EXPECT_EQ(status, expected) << result.errors;
    EXPECT_GT(left, 3000000) << "the rest of the input was read as well";
  }
}

// The durable record as xray-state shows it, without changing anything, and
// as status, stop and recover act on it: they agree on a guardian whose pid
// now names another process, and say what to do.
TEST_F(CliProxyTest, TheRecordOfAGuardianWhosePidWasReused) {
  ProfilePreparer(dir_.path()).prepare(paths_);
  expectOneLineError(run(korvelin({"xray-state", profile_})), 1,
                     "profile " + profile_ +
                         " has no durable sidecar record (it has never been prepared for a proxy)");
  EXPECT_FALSE(testing::exists(paths_.root() + "/.xray-operation-lock"));
  EXPECT_FALSE(testing::exists(dir_.child(".instance.lock")));

  auto stranger = LiveProcessIdentity::capture(::getpid());
  ASSERT_TRUE(stranger);
  XrayDurableState active = XrayDurableState::emptyRecord(id_);
  active.status = XrayDurableState::Status::active;
  active.generation = Uuid::random();
  active.guardianPID = stranger->pid;
  active.guardianIdentity = *stranger;
  active.guardianIdentity->startSeconds -= 1;  // an earlier process with the same pid
  active.loopbackPort = 10808;
  active.socketPath = guardianSocketPath(*active.generation);
  active.capability = std::string(64, 'c');
  active.protocolVersion = 2;
  XrayDurableStateStore store;
  store.withLockedState(paths_, true, [&](const XrayDurableState&, XrayDurableStateWriter& writer) {
    writer.write(active);
    // Meanwhile a start or stop holds the lock: readers fail at once and say why.
    expectOneLineError(run(korvelin({"proxy", "status", profile_})), 1,
                       "a start, stop or recovery of this profile's proxy is in progress; try "
                       "again once it has finished");
    expectOneLineError(run(korvelin({"xray-state", profile_})), 1,
                       "Profile " + profile_ +
                           " requires recovery before launch. (flock failed for "
                           ".xray-operation-lock: Resource temporarily unavailable)");
  });

  const auto text = run(korvelin({"xray-state", id_.lowercaseString()}));
  ASSERT_EQ(text.exitCode, 0) << text.errors;
  EXPECT_THAT(text.output, HasSubstr("status         active (a sidecar may be running)\n"));
  EXPECT_THAT(text.output, HasSubstr("loopback port  10808\n"));
  EXPECT_THAT(text.output, Not(HasSubstr(*active.capability)));
  const auto json = run(korvelin({"xray-state", profile_, "--json"}));
  EXPECT_EQ(nlohmann::json::parse(json.output), nlohmann::json(active));

  auto status = run(korvelin({"proxy", "status", profile_}));
  EXPECT_EQ(status.output,
            "sidecar recorded on 127.0.0.1:10808; guardian gone (run `korvelin proxy recover` to "
            "clear the record)\n");
  for (const char* command : {"stop", "recover"}) {
    auto result = run(korvelin({"proxy", command, profile_}));
    EXPECT_EQ(result.exitCode, 0) << command << ": " << result.errors;
  }
  EXPECT_EQ(record().status, XrayDurableState::Status::empty);
}

// A terminal's Ctrl-C reaches the host's group, not the guardian: the host
// stops the sidecar in order and nothing is left behind.
TEST_F(CliProxyTest, CtrlCStopsTheSidecarInOrder) {
  demo::LoopbackEchoServer echo;
  Subprocess host(korvelin({"proxy", "start", profile_, "--link", kLink, "--json", "--xray",
                            testing::testProgramPath("standin-xray"), "--probe-url", echo.url()}),
                  {.newProcessGroup = true});
  ASSERT_TRUE(host.waitForOutput("\n", 30s)) << host.errors();
  const auto handle = nlohmann::json::parse(host.output());
  const auto recorded = record();
  ::kill(-host.pid(), SIGINT);
  const auto status = host.wait();
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host.errors();
  EXPECT_FALSE(testing::exists(*recorded.socketPath));
  EXPECT_EQ(record().status, XrayDurableState::Status::empty);
  EXPECT_TRUE(testing::eventually([&] { return processHasExited(handle["processID"]); }));
}

// vless check: a summary without secrets, the parsed link as JSON and the
// engine's configuration; the link read from standard input; failures, a
// late one by the rules of its transport among them, never echo it.
TEST(CliVlessTest, CheckShowsNoSecretAndReadsStandardInput) {
  const auto summary = testing::outputOf(runKorvelin({"vless", "check", kLink}));
  EXPECT_THAT(summary, HasSubstr("VLESS (TCP + REALITY)"));
  EXPECT_THAT(summary, HasSubstr("[2001:db8::7]:443"));
  EXPECT_THAT(summary, Not(HasSubstr(kUser.substr(0, 8))));
  EXPECT_THAT(summary, Not(HasSubstr(kShortID)));
  const VLESSRealityConfiguration configuration(kLink);
  EXPECT_EQ(json::parse(testing::outputOf(runKorvelin({"vless", "check", "--json", kLink}))),
            json(configuration));
  EXPECT_EQ(testing::outputOf(runKorvelin({"vless", "check", kLink, "--port", "1080"})),
            configuration.xrayJSON(1080));  // no line break
  for (const std::string& input : {kLink, kLink + "\n", kLink + "\r\n"}) {
    const auto result =
        runKorvelin({"vless", "check", "-", "--port", "65535"}, {.standardInput = input});
    EXPECT_EQ(testing::outputOf(result), configuration.xrayJSON(65535));
  }
  EXPECT_EQ(runKorvelin({"vless", "check", "-"}, {.standardInput = kLink + "\n\n"}).exitCode, 1);
  std::string late = kLink;
  late.insert(late.find('#'), "&alpn=h2");  // alpn is not allowed on TCP
  expectOneLineError(runKorvelin({"vless", "check", late}), 1, kInvalid);
  expectOneLineError(
      runKorvelin({"vless", "check", "-"}, {.standardInput = kLink + std::string(40000, 'a')}), 1,
      kInvalid);
}

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

  const std::vector<std::string> add = {"connection", "add", "HOME", "--link", kLink};
  expectOneLineError(korvelin(add), 1, "A proxy connection with this name already exists.");
  expectOneLineError(korvelin({"connection", "add", "Other", "--link", kLink.substr(0, 60)}), 1,
                     kInvalid);
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
  } refusals[] = {
      {{"connection", "show", kLink}, 2},
      {{"connection", "rename", kUser, "X", "--link", kLink}, 1},
      {{"profile", "create", "P", "--installation", installation_, "--connection", kUser}, 1},
  };
  for (const auto& refusal : refusals)
    EXPECT_EQ(korvelin(refusal.arguments).exitCode, refusal.exitCode) << refusal.arguments[1];

  auto renamed = korvelin({"connection", "rename", id, "HOME", "--link", kGrpcLink});
  ASSERT_EQ(renamed.exitCode, 0) << renamed.errors;
  EXPECT_THAT(renamed.output, HasSubstr("VLESS (gRPC)"));
  EXPECT_EQ(korvelin({"connection", "list"}).exitCode, 0);
  EXPECT_EQ(korvelin({"connection", "show", id}).exitCode, 0);

  auto profile =
      korvelin({"profile", "create", "P", "--installation", installation_, "--connection", id});
  ASSERT_EQ(profile.exitCode, 0) << profile.errors;
  auto inUse = korvelin({"connection", "remove", id});
  EXPECT_EQ(inUse.exitCode, 1);
  EXPECT_EQ(listed().size(), 1u);
  EXPECT_THAT(printed_, Not(HasSubstr(kUser)));
  EXPECT_THAT(printed_, Not(HasSubstr("vless://")));

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
  const std::string seed = json::parse(
      testing::outputOf(korvelin({"connection", "add", "seed", "--link", kLink, "--json"})))["id"];
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
    EXPECT_THAT(result.output, HasSubstr(step));

  auto status = testing::run({testing::korvelinPath(), "--base", base, "proxy", "status",
                              "00000000-0000-4000-8000-000000000000"});
  EXPECT_EQ(status.exitCode, 0) << status.errors;
  EXPECT_EQ(status.output, "no proxy sidecar is recorded for this profile\n");
}

// With the stand-in engine, then with the real one through a loopback
// REALITY server.
TEST(CliDemoTest, ProxiedProfileRunsFromStartToOrderlyStop) {
  expectDemoRunsToTheEnd({}, "127.0.0.1",
                         {"engine: this build's stand-in, test support that forwards directly"});
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
    const auto result = runKorvelin(arguments);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.errors,
              "korvelin: Unsafe profile base: directory is writable by group or "
              "others: " +
                  dir.path() + ".\n");
  }
  EXPECT_EQ(runKorvelin({"--base", dir.path(), "demo", "--base", dir.child("b")}).exitCode, 2);
}

}  // namespace
}  // namespace korvelin
