// The guardian binary, run with real engines and driven over its socket the
// way the core drives it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "core/base/CoreError.h"
#include "core/platform/ScopedFD.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/GuardianHarness.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::exists;
using testing::GuardianProcess;
using testing::rawExchange;
using testing::ScopedTempDir;
using testing::Subprocess;
using testing::SubprocessOptions;
using testing::testProgramPath;

std::string standin() {
  return testProgramPath("standin-xray");
}
std::string probe() {
  return testProgramPath("engine-probe");
}

// The exit code of a process that exited normally; -1 for a signal or no exit.
int exitCode(const std::optional<int>& status) {
  return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

std::string linkTarget(const std::string& path) {
  std::error_code error;
  return std::filesystem::read_symlink(path, error).string();
}

// The JSON an engine-probe wrote once it was set up.
nlohmann::json awaitReport(const std::string& path) {
  if (!eventually([&] { return exists(path); }, 10s))
    return nullptr;
  std::ifstream file(path);
  return nlohmann::json::parse(file);
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

std::string activationLine(const nlohmann::json& object) {
  return base64Encode(object.dump()) + "\n";
}

nlohmann::json activationObject(const std::string& configuration) {
  return {{"capability", testing::randomCapability()},
          {"configuration", base64Encode(configuration)},
          {"generation", Uuid::random().lowercaseString()}};
}

TEST(GuardianStartupTest, EachFailurePrintsItsReasonAndExitsOne) {
  ScopedTempDir directory;
  const std::string socket = directory.child("control.sock");
  const std::string line = activationLine(activationObject("{}"));
  std::ofstream(directory.child("occupied")) << "x";
  std::ofstream(directory.child("not-executable")) << "#!/bin/sh\n";
  const std::string deny = testProgramPath("deny-syscall");
  const std::string tooLong =
      directory.path() + "/" + std::string(99 - directory.path().size(), 's');
  ASSERT_EQ(tooLong.size(), 100u);
  // An engine that leaves a mark the moment it runs: none of these may start it.
  const std::string p = directory.child("engine");
  std::ofstream(p) << "#!/bin/sh\n: > \"$0.started\"\nexec cat >/dev/null\n";
  ::chmod(p.c_str(), 0700);

  struct Case {
    const char* name;
    std::vector<std::string> prefix;
    std::vector<std::string> arguments;
    std::string input;
    std::string reason;
  };
  const auto with = [](const std::string& engine, const std::string& path) {
    return std::vector<std::string>{"--xray", engine, "--socket", path};
  };
  const auto usual = with(p, socket);
  const std::vector<Case> cases = {
      {"no arguments", {}, {}, line, "invalid arguments"},
      {"misspelled flag", {}, {"--xrays", p, "--socket", socket}, line, "invalid arguments"},
      {"flags swapped", {}, {"--socket", socket, "--xray", p}, line, "invalid arguments"},
      {"extra argument", {}, {"--xray", p, "--socket", socket, "-v"}, line, "invalid arguments"},
      {"100-byte socket path", {}, with(p, tooLong), line, "invalid control identity"},
      {"socket refused", {deny, "socket"}, usual, line, "socket"},
      {"missing directory", {}, with(p, directory.child("no/such")), line, "control socket"},
      {"path taken", {}, with(p, directory.child("occupied")), line, "control socket"},
      {"chmod refused", {deny, "chmod"}, usual, line, "control socket"},
      {"listen refused", {deny, "listen"}, usual, line, "control socket"},
      {"lstat refused", {deny, "lstat"}, usual, line, "socket identity"},
      {"no line", {}, usual, "", "configuration"},
      {"line without line feed", {}, usual, line.substr(0, 20), "configuration"},
      {"missing engine", {}, with(directory.child("none"), socket), line, "xray launch"},
      {"engine not executable",
       {},
       with(directory.child("not-executable"), socket),
       line,
       "xray launch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(socket.c_str());
    std::vector<std::string> argv = c.prefix;
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

TEST(GuardianStartupTest, ActivationRules) {
  ScopedTempDir directory;
  const std::string report = directory.child("report.json");
  // A configuration the probe understands, padded to exactly `size` bytes.
  const auto configuration = [&](size_t size) {
    nlohmann::json settings = {{"report", report}, {"pad", ""}};
    const size_t base = settings.dump().size();
    settings["pad"] = std::string(size > base ? size - base : 0, 'x');
    return settings.dump();
  };
  struct Case {
    const char* name;
    std::function<std::string()> line;
    bool accepted;
  };
  const auto with = [&](std::function<void(nlohmann::json&)> change) {
    return [=] {
      auto object = activationObject(configuration(200));
      change(object);
      return activationLine(object);
    };
  };
  const std::vector<Case> cases = {
      {"16384-byte configuration",
       with([&](auto& o) { o["configuration"] = base64Encode(configuration(16384)); }), true},
      {"upper-case capability and generation, unknown key", with([](auto& o) {
         o["capability"] = std::string(64, 'F');
         o["generation"] = Uuid::random().uppercaseString();
         o["comment"] = "ignored";
       }),
       true},
      {"16385-byte configuration",
       with([&](auto& o) { o["configuration"] = base64Encode(configuration(16385)); }), false},
      {"63-digit capability", with([](auto& o) { o["capability"] = std::string(63, 'a'); }), false},
      {"65-digit capability", with([](auto& o) { o["capability"] = std::string(65, 'a'); }), false},
      {"capability with g", with([](auto& o) { o["capability"] = std::string(63, 'a') + "g"; }),
       false},
      {"numeric capability", with([](auto& o) { o["capability"] = 7; }), false},
      {"configuration not Base64", with([](auto& o) { o["configuration"] = "{}"; }), false},
      {"generation not a UUID", with([](auto& o) { o["generation"] = "tomorrow"; }), false},
      {"generation missing", with([](auto& o) { o.erase("generation"); }), false},
      {"not Base64", [] { return std::string("{not base64}\n"); }, false},
      {"truncated Base64",
       [&] {
         auto line = activationLine(activationObject("{}"));
         return line.substr(0, line.size() - 2) + "\n";
       },
       false},
      {"Base64 of plain text", [] { return base64Encode("hello") + "\n"; }, false},
      {"Base64 of a JSON array", [] { return activationLine(nlohmann::json::array()); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(report.c_str());
    const std::string line = c.line();
    // The longest socket path there is room for.
    const std::string socket =
        directory.path() + "/" + std::string(98 - directory.path().size(), 's');
    ::unlink(socket.c_str());
    Subprocess guardian({testing::guardianPath(), "--xray", probe(), "--socket", socket},
                        SubprocessOptions{.standardInput = line, .keepStdinOpen = true});
    if (!c.accepted) {
      EXPECT_EQ(exitCode(guardian.wait()), 1);
      EXPECT_EQ(guardian.errors(), "guardian: configuration\n");
      continue;
    }
    ASSERT_TRUE(guardian.waitForOutput("\n", 10s)) << guardian.errors();
    // The engine got the whole configuration.
    const auto object = nlohmann::json::parse(*base64Decode(line.substr(0, line.size() - 1)));
    EXPECT_EQ(awaitReport(report)["configuration"],
              *base64Decode(object["configuration"].get<std::string>()));
    EXPECT_TRUE(exists(socket));
    guardian.closeStdin();
    EXPECT_EQ(exitCode(guardian.wait()), 0);
    EXPECT_FALSE(exists(socket));
  }
}

TEST(GuardianTest, ReadyNamesTheEngineOnceItHasItsWholeConfiguration) {
  ScopedTempDir directory;
  const std::string report = directory.child("report.json");
  const std::string configuration = nlohmann::json{{"report", report}}.dump();
  auto guardian = readyGuardian(probe(), configuration);
  EXPECT_EQ(guardian->process().output(), "READY " + std::to_string(guardian->enginePid()) + "\n");

  // At READY the guardian holds no end of the engine's input pipe any more.
  const std::string enginePipe =
      linkTarget("/proc/" + std::to_string(guardian->enginePid()) + "/fd/0");
  ASSERT_EQ(enginePipe.rfind("pipe:", 0), 0u) << enginePipe;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(guardian->pid()) + "/fd"))
    EXPECT_NE(linkTarget(entry.path()), enginePipe) << entry.path();

  // The named pid is the engine, started exactly as Xray is started.
  const auto seen = awaitReport(report);
  EXPECT_EQ(seen["arguments"], (std::vector<std::string>{probe(), "run", "-config", "stdin:"}));
  EXPECT_EQ(seen["environment"], std::vector<std::string>{"PATH=/usr/bin:/bin"});
  EXPECT_EQ(seen["configuration"], configuration);
  EXPECT_EQ(seen["descriptors"], (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(seen["stdin"], enginePipe);
  EXPECT_EQ(seen["stdout"], "/dev/null");
  EXPECT_EQ(seen["stderr"], "/dev/null");
  std::ifstream stat("/proc/" + std::to_string(guardian->enginePid()) + "/stat");
  std::string pid, name, state;
  int parent = 0;
  stat >> pid >> name >> state >> parent;
  EXPECT_EQ(parent, guardian->pid());

  struct stat socketStatus;
  ASSERT_EQ(::lstat(guardian->socketPath().c_str(), &socketStatus), 0);
  EXPECT_EQ(socketStatus.st_mode & 07777, 0600u);
}

// Every way a guardian ends, with an engine that obeys SIGTERM and with one
// that has to be killed.
TEST(GuardianTest, StopsTheEngineWhenStoppedOrAbandoned) {
  ScopedTempDir directory;
  const std::vector<std::pair<std::string, int>> endings = {
      {"STOP", 0}, {"owner gone", 0}, {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
  for (bool stubborn : {false, true}) {
    for (const auto& [ending, signal] : endings) {
      SCOPED_TRACE(std::string(stubborn ? "stubborn engine, " : "engine, ") + ending);
      const std::string report = directory.child("report.json");
      const std::string marker = directory.child("term");
      ::unlink(report.c_str());
      ::unlink(marker.c_str());
      nlohmann::json settings = {{"report", report}};
      if (stubborn)
        settings["termMarker"] = marker;
      auto guardian = readyGuardian(probe(), settings.dump());
      ASSERT_FALSE(awaitReport(report).is_null());
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
}

// Whether something accepts TCP connections on 127.0.0.1:`port`.
bool acceptsConnections(std::uint16_t port) {
  platform::ScopedFD fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// A guardian killed outright has no shutdown path to run; the engine must go
// with it all the same, or it would serve on with no record naming it.
TEST(GuardianTest, EngineEndsWhenTheGuardianIsKilled) {
  testing::ScopedSubreaper subreaper;  // the orphaned engine is ours to collect
  const auto port = testing::unusedLoopbackPort();
  auto guardian = readyGuardian(standin(), testing::engineConfiguration(port));
  const auto engine = testing::identityOnceRunning(guardian->enginePid(), "/usr/bin/microsocks");
  ASSERT_TRUE(engine);
  ASSERT_TRUE(eventually([&] { return acceptsConnections(port); }, 10s));

  guardian->process().signal(SIGKILL);
  ASSERT_TRUE(guardian->process().wait());
  EXPECT_TRUE(eventually([&] { return testing::reapIfExited(engine->pid); }, 10s))
      << "the engine outlived its guardian";
  EXPECT_FALSE(engine->isCurrent());
  EXPECT_FALSE(acceptsConnections(port));
}

TEST(GuardianTest, EngineExitingByItselfEndsTheGuardian) {
  auto guardian = readyGuardian(probe(), R"({"exit": true})");
  expectCleanExit(*guardian);
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

  auto guardian = readyGuardian(probe(), "{}");
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

  auto guardian = readyGuardian(probe(), "{}");
  const auto& g = *guardian;
  const std::string capability = g.capability();
  const std::string generation = g.generation().lowercaseString();
  std::string upperCapability = capability;
  for (auto& c : upperCapability)
    c = static_cast<char>(std::toupper(c));
  const auto attach = [&](const LiveProcessIdentity& identity) {
    return g.requestLine("ATTACH", encodeIdentityPayload(identity)) + "\n";
  };

  struct Case {
    const char* name;
    std::string bytes;
  };
  const std::vector<Case> refused = {
      {"empty line", "\n"},
      {"two pieces", "STATUS " + capability + "\n"},
      {"wrong capability", "STATUS " + testing::randomCapability() + " " + generation + "\n"},
      {"capability in other case", "STATUS " + upperCapability + " " + generation + "\n"},
      {"generation of another run",
       "STATUS " + capability + " " + Uuid::random().lowercaseString() + "\n"},
      {"upper-case generation",
       "STATUS " + capability + " " + g.generation().uppercaseString() + "\n"},
      {"fourth piece after STOP", g.requestLine("STOP", "now") + "\n"},
      {"fourth piece after STATUS", g.requestLine("STATUS", "x") + "\n"},
      {"ATTACH without payload", g.requestLine("ATTACH") + "\n"},
      {"ATTACH with a fifth piece",
       g.requestLine("ATTACH", encodeIdentityPayload(*leaderIdentity) + " x") + "\n"},
      {"ATTACH payload not Base64", g.requestLine("ATTACH", "{}") + "\n"},
      {"ATTACH payload not an identity",
       g.requestLine("ATTACH", base64Encode("{\"pid\":1}")) + "\n"},
      {"ATTACH of a non-leader", attach(*nonLeaderIdentity)},
      // Same pid and group, another start time: another incarnation.
      {"ATTACH of a stale identity", attach(stale)},
      {"ATTACH of a gone process", attach(*goneIdentity)},
      {"lower-case command", g.requestLine("status") + "\n"},
      {"unknown command", g.requestLine("RESTART") + "\n"},
      {"carriage return", g.requestLine("STATUS") + "\r\n"},
      {"4096 bytes without line feed", std::string(4096, 'S')},
      {"no line feed within 0.5 s", g.requestLine("STATUS")},
  };
  // Refused while nothing is attached yet, so no earlier attachment decides.
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(rawExchange(g.socketPath(), c.bytes), "");
  }
  ASSERT_EQ(guardian->request("ATTACH", encodeIdentityPayload(*leaderIdentity)), "ATTACHED");
  EXPECT_EQ(rawExchange(g.socketPath(), attach(*otherIdentity)), "") << "a second controller";

  // Extra spaces only separate pieces.
  const auto spaced =
      rawExchange(g.socketPath(), " STATUS  " + capability + "  " + generation + "\n");
  ASSERT_TRUE(spaced);
  const auto status = GuardianStatus::fromReplyLine(spaced->substr(0, spaced->size() - 1));
  EXPECT_EQ(status.attached, leaderIdentity) << "the first controller stays attached";
  EXPECT_EQ(guardian->request("STOP"), "STOPPED");
  expectCleanExit(*guardian);
}

TEST(GuardianTest, RefusesPeersOfAnotherUser) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to run the guardian as another user";
  constexpr uid_t kNobody = 65534;
  GuardianProcess guardian(
      {probe(), "{}", {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}});
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
  auto guardian = readyGuardian(probe(), "{}");
  const std::string moved = guardian->socketPath() + ".moved";
  ASSERT_EQ(::rename(guardian->socketPath().c_str(), moved.c_str()), 0);
  std::ofstream(guardian->socketPath()) << "newcomer";
  guardian->closeOwner();
  EXPECT_EQ(exitCode(guardian->process().wait(30s)), 0);
  std::ifstream newcomer(guardian->socketPath());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(newcomer), {}), "newcomer");
  ::unlink(moved.c_str());
}

}  // namespace
}  // namespace korvelin
