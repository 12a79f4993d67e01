// korvelin proxy, and what every command may say about a link.

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/guardian/GuardianClient.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProfileCliTest.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::expectOneLineError;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::run;
using testing::Subprocess;

const std::string kUser = "b831381d-6324-4d53-ad4f-8cda48b30811";
const std::string kShortID = "6ba85179e30d4fc2";
const std::string kLink = "vless://" + kUser +
                          "@127.0.0.1:443?type=tcp&security=reality&sni=www.example.com&fp=chrome"
                          "&flow=xtls-rprx-vision&sid=" +
                          kShortID + "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc#Home";

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
  const auto help = run({testing::korvelinPath(), "--help"}).output;
  std::istringstream lines(help.substr(help.find("Subcommands:")));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && !line.empty()) {
    const std::string name = line.substr(2, line.find(' ', 2) - 2);
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
// it, and without a real engine nothing serves one.
TEST_F(CliProxyTest, ARealLinkNeedsARealEngine) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"proxy", "start", profile_, "--link", kLink},
        {"demo", "--link", kLink},
        {"demo", "--link", "-"}}) {
    const auto result = run(korvelin(arguments), withoutEngine(kLink));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.errors, ::testing::StartsWith("korvelin: no real engine found at " +
                                                     dir_.path() + "/.cache/korvelin/"));
  }
}

// Standard input is read up to what it may hold, never further.
TEST_F(CliProxyTest, StandardInputIsReadOnlyUpToWhatItMayHold) {
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

}  // namespace
}  // namespace korvelin
