// The guardian binary, run with real engines and driven over its socket the
// way the core drives it.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "demo/LoopbackRealityServer.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/GuardianHarness.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::eventually;
using testing::exists;
using testing::GuardianProcess;
using testing::rawExchange;
using testing::ScopedTempDir;
using testing::Subprocess;
using testing::SubprocessOptions;
using ::testing::UnorderedElementsAre;

const std::string kProbe = testing::testProgramPath("engine-probe");

// The exit code of a process that exited normally; -1 for a signal or no exit.
int exitCode(const std::optional<int>& status) {
  return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

std::string linkTarget(const std::string& path) {
  std::error_code error;
  return std::filesystem::read_symlink(path, error).string();
}

// The configuration an engine-probe wrote once it was set up; absent when it
// did not within a few seconds.
std::optional<std::string> awaitReport(const std::string& path) {
  if (!eventually([&] { return exists(path); }, 10s))
    return std::nullopt;
  return testing::readText(path);
}

// A guardian that has printed READY.
std::unique_ptr<GuardianProcess> readyGuardian(const std::string& engine,
                                               const std::string& configuration) {
  auto guardian =
      std::make_unique<GuardianProcess>(GuardianProcess::Options{engine, configuration});
  EXPECT_TRUE(guardian->waitUntilReady()) << guardian->process().errors();
  return guardian;
}

// Waits for the guardian to exit and checks that it left nothing behind.
void expectCleanExit(GuardianProcess& guardian) {
  EXPECT_EQ(exitCode(guardian.process().wait(30s)), 0) << guardian.process().errors();
  EXPECT_EQ(guardian.process().errors(), "");
  EXPECT_FALSE(exists(guardian.socketPath()));
  EXPECT_FALSE(testing::processExists(guardian.enginePid())) << "the engine was not reaped";
}

// The activation line of `object`, by default a well-formed one whose keys
// `changes` replaces (a null value removes the key).
std::string encodedLine(const json& object) {
  return base64Encode(object.dump()) + "\n";
}
std::string activationLine(const std::string& configuration, const json& changes = json::object()) {
  json object = {{"capability", testing::randomCapability()},
                 {"configuration", base64Encode(configuration)},
                 {"generation", Uuid::random().lowercaseString()}};
  for (const auto& [key, value] : changes.items())
    if (value.is_null())
      object.erase(key);
    else
      object[key] = value;
  return encodedLine(object);
}

// A configuration the probe understands, padded to exactly `size` bytes.
std::string paddedConfiguration(const std::string& report, size_t size) {
  json settings = {{"report", report}, {"pad", ""}};
  const size_t base = settings.dump().size();
  settings["pad"] = std::string(size > base ? size - base : 0, 'x');
  return settings.dump();
}

TEST(GuardianStartupTest, EachFailurePrintsItsReasonAndExitsOne) {
  ScopedTempDir directory;
  const std::string socket = directory.child("control.sock");
  const std::string line = activationLine("{}");
  std::ofstream(directory.child("occupied")) << "x";
  std::ofstream(directory.child("not-executable")) << "#!/bin/sh\n";
  const std::string tooLong =
      directory.path() + "/" + std::string(99 - directory.path().size(), 's');
  ASSERT_EQ(tooLong.size(), 100u);
  // An engine that leaves a mark the moment it runs: none of these may start it.
  const std::string p = directory.child("engine");
  std::ofstream(p) << "#!/bin/sh\n: > \"$0.started\"\nexec cat >/dev/null\n";
  ::chmod(p.c_str(), 0700);

  struct Case {
    const char* name;
    const char* denied;  // the system call made to fail, if any
    std::vector<std::string> arguments;
    std::string input;
    std::string reason;
  };
  const auto with = [](const std::string& engine, const std::string& path) {
    return std::vector<std::string>{"--xray", engine, "--socket", path};
  };
  const auto usual = with(p, socket);
  const auto notExecutable = with(directory.child("not-executable"), socket);
  // An activation line refused for what it carries.
  const auto refused = [&](const char* name, const json& changes) {
    return Case{name, nullptr, usual, activationLine(paddedConfiguration("", 200), changes),
                "configuration"};
  };
  const auto refusedLine = [&](const char* name, const std::string& input) {
    return Case{name, nullptr, usual, input, "configuration"};
  };
  const auto oversized = base64Encode(paddedConfiguration("", 16385));
  const std::vector<Case> cases = {
      {"no arguments", nullptr, {}, line, "invalid arguments"},
      {"misspelled flag", nullptr, {"--xrays", p, "--socket", socket}, line, "invalid arguments"},
      {"flags swapped", nullptr, {"--socket", socket, "--xray", p}, line, "invalid arguments"},
      {"extra argument",
       nullptr,
       {"--xray", p, "--socket", socket, "-v"},
       line,
       "invalid arguments"},
      {"100-byte socket path", nullptr, with(p, tooLong), line, "invalid control identity"},
      {"socket refused", "socket", usual, line, "socket"},
      {"missing directory", nullptr, with(p, directory.child("no/such")), line, "control socket"},
      {"path taken", nullptr, with(p, directory.child("occupied")), line, "control socket"},
      {"chmod refused", "chmod", usual, line, "control socket"},
      {"listen refused", "listen", usual, line, "control socket"},
      {"lstat refused", "lstat", usual, line, "socket identity"},
      {"no line", nullptr, usual, "", "configuration"},
      {"line without line feed", nullptr, usual, line.substr(0, 20), "configuration"},
      {"missing engine", nullptr, with(directory.child("none"), socket), line, "xray launch"},
      {"engine not executable", nullptr, notExecutable, line, "xray launch"},
      refused("16385-byte configuration", {{"configuration", oversized}}),
      refused("63-digit capability", {{"capability", std::string(63, 'a')}}),
      refused("65-digit capability", {{"capability", std::string(65, 'a')}}),
      refused("capability with g", {{"capability", std::string(63, 'a') + "g"}}),
      refused("numeric capability", {{"capability", 7}}),
      refused("configuration not Base64", {{"configuration", "{}"}}),
      refused("generation not a UUID", {{"generation", "tomorrow"}}),
      refused("generation missing", {{"generation", nullptr}}),
      refusedLine("not Base64", "{not base64}\n"),
      refusedLine("truncated Base64", line.substr(0, line.size() - 2) + "\n"),
      refusedLine("Base64 of plain text", base64Encode("hello") + "\n"),
      refusedLine("Base64 of a JSON array", encodedLine(json::array())),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(socket.c_str());
    std::vector<std::string> argv;
    if (c.denied)
      argv = {testing::testProgramPath("deny-syscall"), c.denied};
    argv.push_back(testing::guardianPath());
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    auto result = testing::run(argv, SubprocessOptions{.standardInput = c.input});
    if (result.exitCode == 77)
      GTEST_SKIP() << "no system call filter on this machine";
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.errors, "guardian: " + c.reason + "\n");
    EXPECT_EQ(result.output, "");
    EXPECT_FALSE(exists(p + ".started"));
    // A failure takes its own socket with it, and only its own: one it could
    // not tell from a stranger's file stays.
    EXPECT_EQ(exists(socket), c.reason == "socket identity");
    EXPECT_TRUE(exists(directory.child("occupied")));
  }
}

// The engine gets the whole configuration of an accepted activation, on the
// longest socket path there is room for.
TEST(GuardianStartupTest, AcceptedActivations) {
  ScopedTempDir directory;
  const std::string report = directory.child("report.json");
  const std::string socket =
      directory.path() + "/" + std::string(98 - directory.path().size(), 's');
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"16384-byte configuration", activationLine(paddedConfiguration(report, 16384))},
      {"upper-case capability and generation, unknown key",
       activationLine(paddedConfiguration(report, 200),
                      {{"capability", std::string(64, 'F')},
                       {"generation", Uuid::random().uppercaseString()},
                       {"comment", "ignored"}})},
  };
  for (const auto& [name, line] : cases) {
    SCOPED_TRACE(name);
    ::unlink(report.c_str());
    Subprocess guardian({testing::guardianPath(), "--xray", kProbe, "--socket", socket},
                        SubprocessOptions{.standardInput = line, .keepStdinOpen = true});
    ASSERT_TRUE(guardian.waitForOutput("\n", 10s)) << guardian.errors();
    const auto object = json::parse(*base64Decode(line.substr(0, line.size() - 1)));
    EXPECT_EQ(awaitReport(report), *base64Decode(object["configuration"].get<std::string>()));
    EXPECT_TRUE(exists(socket));
    guardian.closeStdin();
    EXPECT_EQ(exitCode(guardian.wait()), 0);
    EXPECT_FALSE(exists(socket));
  }
}

TEST(GuardianTest, ReadyNamesTheEngineOnceItHasItsWholeConfiguration) {
  ScopedTempDir directory;
  const std::string report = directory.child("report.json");
  const std::string configuration = json{{"report", report}}.dump();
  auto guardian = readyGuardian(kProbe, configuration);
  EXPECT_EQ(guardian->process().output(), "READY " + std::to_string(guardian->enginePid()) + "\n");

  // At READY the guardian holds no end of the engine's input pipe any more.
  const std::string engine = "/proc/" + std::to_string(guardian->enginePid());
  const std::string enginePipe = linkTarget(engine + "/fd/0");
  ASSERT_EQ(enginePipe.rfind("pipe:", 0), 0u) << enginePipe;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(guardian->pid()) + "/fd"))
    EXPECT_NE(linkTarget(entry.path()), enginePipe) << entry.path();

  // The named pid is the engine, started exactly as Xray is started, with
  // nothing open beyond its standard descriptors.
  EXPECT_EQ(awaitReport(report), configuration);
  using namespace std::string_literals;
  EXPECT_EQ(testing::readText(engine + "/cmdline"), kProbe + "\0run\0-config\0stdin:\0"s);
  EXPECT_EQ(testing::readText(engine + "/environ"), "PATH=/usr/bin:/bin\0"s);
  std::vector<std::string> descriptors;
  for (const auto& entry : std::filesystem::directory_iterator(engine + "/fd"))
    descriptors.push_back(entry.path().filename());
  EXPECT_THAT(descriptors, UnorderedElementsAre("0", "1", "2"));
  EXPECT_EQ(linkTarget(engine + "/fd/1"), "/dev/null");
  EXPECT_EQ(linkTarget(engine + "/fd/2"), "/dev/null");
  std::ifstream stat(engine + "/stat");
  std::string pid, name, state;
  int parent = 0;
  stat >> pid >> name >> state >> parent;
  EXPECT_EQ(parent, guardian->pid());
  EXPECT_EQ(testing::modeOf(guardian->socketPath()), 0600u);
}

// Every way a guardian ends, with an engine that obeys SIGTERM and with one
// that has to be killed; and an engine that exits by itself.
TEST(GuardianTest, StopsTheEngineWhenStoppedOrAbandoned) {
  const std::vector<std::pair<std::string, int>> endings = {
      {"STOP", 0}, {"owner gone", 0}, {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
  for (bool stubborn : {false, true}) {
    for (const auto& [ending, signal] : endings) {
      SCOPED_TRACE(std::string(stubborn ? "stubborn engine, " : "engine, ") + ending);
      ScopedTempDir directory;
      const std::string report = directory.child("report.json");
      const std::string marker = directory.child("term");
      json settings = {{"report", report}};
      if (stubborn)
        settings["termMarker"] = marker;
      auto guardian = readyGuardian(kProbe, settings.dump());
      ASSERT_TRUE(awaitReport(report));
      if (signal)
        guardian->process().signal(signal);
      else if (ending == "STOP")
        EXPECT_EQ(guardian->request("STOP"), "STOPPED");
      else
        guardian->closeOwner();
      expectCleanExit(*guardian);
      // A stubborn engine was asked first and killed only afterwards.
      EXPECT_EQ(exists(marker), stubborn);
    }
  }
  SCOPED_TRACE("engine exits by itself");
  expectCleanExit(*readyGuardian(kProbe, R"({"exit": true})"));
}

// A guardian killed outright has no shutdown path to run; the engine must go
// with it all the same, or it would serve on with no record naming it.
TEST(GuardianTest, EngineEndsWhenTheGuardianIsKilled) {
  testing::ScopedSubreaper subreaper;  // the orphaned engine is ours to collect
  const auto port = testing::unusedLoopbackPort();
  auto guardian =
      readyGuardian(testing::testProgramPath("standin-xray"), testing::engineConfiguration(port));
  const auto engine = testing::identityOnceRunning(guardian->enginePid(), "/usr/bin/microsocks");
  ASSERT_TRUE(engine);
  ASSERT_TRUE(eventually([&] { return demo::listensOnLoopback(port); }, 10s));

  guardian->process().signal(SIGKILL);
  ASSERT_TRUE(guardian->process().wait());
  EXPECT_TRUE(eventually([&] { return testing::reapIfExited(engine->pid); }, 10s))
      << "the engine outlived its guardian";
  EXPECT_FALSE(engine->isCurrent());
  EXPECT_FALSE(demo::listensOnLoopback(port));
}

TEST(GuardianTest, AttachedGroupKeepsTheEngineAfterTheOwnerLeaves) {
  testing::ScopedSubreaper subreaper;
  // A group leader that leaves a member behind when it exits.
  Subprocess leader(
      {"/bin/sh", "-c", "/bin/sleep 300 >/dev/null 2>&1 & echo $!; read line; exit 0"},
      SubprocessOptions{.keepStdinOpen = true, .newProcessGroup = true});
  ASSERT_TRUE(leader.waitForOutput("\n", 5s));
  const pid_t member = std::stoi(leader.output());
  const auto controller = testing::identityOnceRunning(leader.pid(), "/bin/sh");
  ASSERT_TRUE(controller);

  auto guardian = readyGuardian(kProbe, "{}");
  const auto status = [&] { return GuardianStatus::fromReplyLine(guardian->request("STATUS")); };
  EXPECT_FALSE(status().attached);
  const auto payload = encodeIdentityPayload(*controller);
  EXPECT_EQ(guardian->request("ATTACH", payload), "ATTACHED");
  EXPECT_EQ(guardian->request("ATTACH", payload), "ATTACHED") << "the same controller again";
  EXPECT_EQ(status().attached, controller);
  EXPECT_EQ(status().child.pid, guardian->enginePid());

  // The owner leaving no longer matters, nor does the leader alone.
  guardian->closeOwner();
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(status().attached, controller);
  leader.writeStdin("\n");
  EXPECT_EQ(exitCode(leader.wait()), 0);
  ASSERT_TRUE(testing::processExists(member));
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(status().attached, controller);

  // The last member of the group goes: so does the engine.
  ::kill(member, SIGKILL);
  EXPECT_TRUE(eventually([&] { return testing::reapIfExited(member); }));
  expectCleanExit(*guardian);
}

TEST(GuardianTest, RefusesSilentlyAndKeepsServing) {
  testing::ScopedSubreaper subreaper;
  const SubprocessOptions ownGroup{.newProcessGroup = true};
  Subprocess leader({"/bin/sleep", "300"}, ownGroup);
  Subprocess otherLeader({"/bin/sleep", "300"}, ownGroup);
  Subprocess nonLeader({"/bin/sleep", "300"});
  Subprocess gone({"/bin/sleep", "300"}, ownGroup);
  const auto leaderIdentity = testing::identityOnceRunning(leader.pid(), "/bin/sleep");
  const auto otherIdentity = testing::identityOnceRunning(otherLeader.pid(), "/bin/sleep");
  const auto nonLeaderIdentity = testing::identityOnceRunning(nonLeader.pid(), "/bin/sleep");
  const auto goneIdentity = testing::identityOnceRunning(gone.pid(), "/bin/sleep");
  ASSERT_TRUE(leaderIdentity && otherIdentity && nonLeaderIdentity && goneIdentity);
  gone.signal(SIGKILL);
  gone.wait();
  auto stale = *leaderIdentity;
  stale.startSeconds -= 1;

  auto guardian = readyGuardian(kProbe, "{}");
  const auto& g = *guardian;
  const std::string capability = g.capability();
  const std::string generation = g.generation().lowercaseString();
  std::string upperCapability = capability;
  std::transform(capability.begin(), capability.end(), upperCapability.begin(), ::toupper);
  const auto status = [](const std::string& pieces) { return "STATUS " + pieces + "\n"; };
  const auto line = [&](std::string_view command, std::optional<std::string_view> payload = {}) {
    return g.requestLine(command, payload) + "\n";
  };
  const auto attach = [&](const LiveProcessIdentity& identity) {
    return line("ATTACH", encodeIdentityPayload(identity));
  };

  const std::vector<std::pair<const char*, std::string>> refused = {
      {"empty line", "\n"},
      {"two pieces", status(capability)},
      {"wrong capability", status(testing::randomCapability() + " " + generation)},
      {"capability in other case", status(upperCapability + " " + generation)},
      {"generation of another run", status(capability + " " + Uuid::random().lowercaseString())},
      {"upper-case generation", status(capability + " " + g.generation().uppercaseString())},
      {"fourth piece after STOP", line("STOP", "now")},
      {"fourth piece after STATUS", line("STATUS", "x")},
      {"ATTACH without payload", line("ATTACH")},
      {"ATTACH with a fifth piece", line("ATTACH", encodeIdentityPayload(*leaderIdentity) + " x")},
      {"ATTACH payload not Base64", line("ATTACH", "{}")},
      {"ATTACH payload not an identity", line("ATTACH", base64Encode("{\"pid\":1}"))},
      {"ATTACH of a non-leader", attach(*nonLeaderIdentity)},
      // Same pid and group, another start time: another incarnation.
      {"ATTACH of a stale identity", attach(stale)},
      {"ATTACH of a gone process", attach(*goneIdentity)},
      {"lower-case command", line("status")},
      {"unknown command", line("RESTART")},
      {"carriage return", g.requestLine("STATUS") + "\r\n"},
      {"4096 bytes without line feed", std::string(4096, 'S')},
      {"no line feed within 0.5 s", g.requestLine("STATUS")},
  };
  // Refused while nothing is attached yet, so no earlier attachment decides.
  for (const auto& [name, bytes] : refused)
    EXPECT_EQ(rawExchange(g.socketPath(), bytes), "") << name;
  ASSERT_EQ(guardian->request("ATTACH", encodeIdentityPayload(*leaderIdentity)), "ATTACHED");
  EXPECT_EQ(rawExchange(g.socketPath(), attach(*otherIdentity)), "") << "a second controller";

  // Extra spaces only separate pieces.
  const auto spaced =
      rawExchange(g.socketPath(), " STATUS  " + capability + "  " + generation + "\n");
  ASSERT_TRUE(spaced);
  const auto reply = GuardianStatus::fromReplyLine(spaced->substr(0, spaced->size() - 1));
  EXPECT_EQ(reply.attached, leaderIdentity) << "the first controller stays attached";
  EXPECT_EQ(guardian->request("STOP"), "STOPPED");
  expectCleanExit(*guardian);
}

TEST(GuardianTest, RefusesPeersOfAnotherUser) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to run the guardian as another user";
  constexpr uid_t kNobody = 65534;
  GuardianProcess guardian(
      {kProbe, "{}", {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}});
  ASSERT_TRUE(guardian.waitUntilReady()) << guardian.process().errors();
  const std::string line = guardian.requestLine("STATUS") + "\n";
  // root may connect to anybody's socket, but is not the guardian's user.
  EXPECT_EQ(rawExchange(guardian.socketPath(), line), "");

  // The same request from the guardian's own user is answered.
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
      ::_exit(2);
    auto reply = rawExchange(guardian.socketPath(), line);
    ::_exit(reply && reply->rfind("STATUS ", 0) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(exitCode(status), 0);
  guardian.closeOwner();
  expectCleanExit(guardian);
}

TEST(GuardianTest, LeavesAReplacedSocketFileAlone) {
  auto guardian = readyGuardian(kProbe, "{}");
  const std::string moved = guardian->socketPath() + ".moved";
  ASSERT_EQ(::rename(guardian->socketPath().c_str(), moved.c_str()), 0);
  std::ofstream(guardian->socketPath()) << "newcomer";
  guardian->closeOwner();
  EXPECT_EQ(exitCode(guardian->process().wait(30s)), 0);
  EXPECT_EQ(testing::readText(guardian->socketPath()), "newcomer");
  ::unlink(moved.c_str());
}

}  // namespace
}  // namespace korvelin
