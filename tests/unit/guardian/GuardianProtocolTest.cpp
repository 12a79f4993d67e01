// The guardian's wire format on socket pairs, and the core's client against a
// guardian played by this test process, so that every check of the client can
// be failed on purpose.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "core/base/CoreError.h"
#include "core/guardian/GuardianClient.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/platform/LocalSocket.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/GuardianHarness.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/Subprocess.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using platform::ScopedFD;
using testing::errorCaseOf;

// Two connected, non-blocking stream sockets.
struct SocketPair {
  ScopedFD near, far;
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
      near.reset(fds[0]);
      far.reset(fds[1]);
    }
  }
  void send(const std::string& bytes) {
    ASSERT_EQ(::send(far.get(), bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
  }
};

// Whether `call` fails the way every broken exchange with a guardian fails.
bool disconnects(const std::function<void()>& call) {
  return errorCaseOf(call) == KorvelinCoreError::Case::proxyDisconnected;
}

TEST(GuardianProtocolTest, ReadLineKeepsToItsLimit) {
  struct Case {
    const char* name;
    std::string sent;
    int limit;
    std::optional<std::string> expected;
    bool hangUp = false;
  };
  const std::vector<Case> cases = {
      {"4095 bytes", std::string(4095, 'a') + "\n", 4096, std::string(4095, 'a')},
      {"4096 bytes without line feed", std::string(4096, 'a'), 4096, std::nullopt},
      {"4096 bytes and line feed", std::string(4096, 'a') + "\n", 4096, std::nullopt},
      {"only a line feed", "\n", 4096, ""},
      {"UTF-8", "ünïcödé\n", 4096, "ünïcödé"},
      {"invalid UTF-8", "\xc3\x28\n", 4096, std::nullopt},
      {"limit 0", "a\n", 0, std::nullopt},
      {"nothing arrives", "", 4096, std::nullopt},
      {"end of file first", "abc", 4096, std::nullopt, true},
  };
  for (const auto& c : cases) {
    SocketPair pair;
    pair.send(c.sent);
    if (c.hangUp)
      pair.far.reset();
    const auto read = [&] { return GuardianProtocol::readLine(pair.near.get(), 0.2, c.limit); };
    if (c.expected)
      EXPECT_EQ(read(), *c.expected) << c.name;
    else
      EXPECT_TRUE(disconnects(read)) << c.name;
  }
}

// A descriptor that blocks after all must not carry a read past the
// deadline: a line arriving a second later is not this call's line.
TEST(GuardianProtocolTest, ReadLineWaitsBeforeEveryRead) {
  SocketPair pair;
  ::fcntl(pair.near.get(), F_SETFL, 0);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ::send(pair.far.get(), "\n", 1, MSG_NOSIGNAL);
  });
  EXPECT_TRUE(disconnects([&] { GuardianProtocol::readLine(pair.near.get(), 0.2, 4096); }));
  late.join();
}

TEST(GuardianProtocolTest, ReadLineLeavesWhatFollowsTheLine) {
  SocketPair pair;
  pair.send("one\ntwo\n");
  EXPECT_EQ(GuardianProtocol::readLine(pair.near.get(), 1, 4096), "one");
  EXPECT_EQ(GuardianProtocol::readLine(pair.near.get(), 1, 4096), "two");
}

TEST(GuardianProtocolTest, TricklingPeerFailsAtTheWholeLineDeadline) {
  SocketPair pair;
  std::atomic<bool> done = false;
  // One byte every 10 ms never finishes a line, but never goes quiet either.
  std::thread trickle([&] {
    while (!done) {
      ::send(pair.far.get(), "x", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  EXPECT_TRUE(disconnects([&] { GuardianProtocol::readLine(pair.near.get(), 0.3, 4096); }));
  done = true;
  trickle.join();
}

TEST(GuardianProtocolTest, WriteLineSendsAtMost8192Bytes) {
  SocketPair pair;
  GuardianProtocol::writeLine(std::string(8191, 'w'), pair.near.get(), 1);
  std::string received(9000, '\0');
  ASSERT_EQ(::recv(pair.far.get(), received.data(), received.size(), 0), 8192);
  EXPECT_EQ(received.substr(0, 8192), std::string(8191, 'w') + "\n");

  EXPECT_TRUE(disconnects(
      [&] { GuardianProtocol::writeLine(std::string(8192, 'w'), pair.near.get(), 1); }));
  EXPECT_EQ(::recv(pair.far.get(), received.data(), received.size(), 0), -1) << "nothing was sent";
}

TEST(GuardianProtocolTest, WriteLineFailsOnAStuckOrClosedPeer) {
  SocketPair stuck;
  const std::string chunk(65536, 'f');
  while (::send(stuck.near.get(), chunk.data(), chunk.size(), 0) > 0) {
  }
  EXPECT_TRUE(disconnects([&] { GuardianProtocol::writeLine("late", stuck.near.get(), 0.1); }));

  // With SIGPIPE at its default, a write to a closed peer would kill the test.
  auto previous = ::signal(SIGPIPE, SIG_DFL);
  SocketPair closed;
  closed.far.reset();
  EXPECT_TRUE(disconnects([&] { GuardianProtocol::writeLine("gone", closed.near.get(), 0.1); }));
  ::signal(SIGPIPE, previous);
}

TEST(GuardianProtocolTest, ReadyLineNamesAPidOfAtLeastTwo) {
  const std::vector<std::pair<std::string, std::optional<std::int32_t>>> cases = {
      {"READY 4242", 4242}, {"READY 2", 2},   {"READY 2147483647", 2147483647},
      {"READY 1", {}},      {"READY 0", {}},  {"READY -7", {}},
      {"READY ", {}},       {"READY", {}},    {"READY 12x", {}},
      {"READY  42", {}},    {"ready 42", {}}, {"READY 2147483648", {}},
  };
  for (const auto& [line, pid] : cases)
    EXPECT_EQ(parseReadyLine(line), pid) << line;
}

TEST(GuardianProtocolTest, StatusReplyCarriesAttachedOnlyWhenPresent) {
  auto self = LiveProcessIdentity::capture(::getpid());
  ASSERT_TRUE(self);
  GuardianStatus status{*self, std::nullopt};
  const auto reply = status.replyLine();
  ASSERT_EQ(reply.rfind("STATUS ", 0), 0u);
  EXPECT_FALSE(nlohmann::json::parse(*base64Decode(reply.substr(7))).contains("attached"));
  EXPECT_EQ(GuardianStatus::fromReplyLine(reply), status);
  status.attached = *self;
  EXPECT_EQ(GuardianStatus::fromReplyLine(status.replyLine()), status);

  nlohmann::json extra = status;
  extra["note"] = 1;
  for (const std::string& bad :
       {std::string("STATUS "), std::string("STATUS e30="), "STATUS " + base64Encode(extra.dump()),
        "STATUS  " + reply.substr(7), std::string("STOPPED"), "status " + reply.substr(7)})
    EXPECT_TRUE(disconnects([&] { GuardianStatus::fromReplyLine(bad); })) << bad;
}

TEST(Base64Test, DecodesOnlyCanonicalPaddedText) {
  EXPECT_EQ(base64Encode("hello"), "aGVsbG8=");
  EXPECT_EQ(base64Decode("aGVsbG8="), "hello");
  EXPECT_EQ(base64Decode(""), "");
  for (const char* bad : {"aGVsbG8", "aGVsbG9=", "aGVs bG8=", "aGVsbG8=\n", "aGVsbG8-", "a==="})
    EXPECT_FALSE(base64Decode(bad)) << bad;
}

// Listens where a guardian of a fresh generation would and answers each
// connection that sends a line with `reply`, written as it is. `busyFor`
// keeps it from accepting anything at first, as a guardian serving another
// client would.
class FakeGuardian {
 public:
  explicit FakeGuardian(std::string reply, std::chrono::milliseconds busyFor = {})
      : generation_(Uuid::random()), path_(guardianSocketPath(generation_)) {
    ScopedFD socket = platform::newLocalStreamSocket(/*nonBlocking=*/true);
    if (platform::bindLocal(socket.get(), path_) != 0 || ::chmod(path_.c_str(), 0600) != 0 ||
        ::listen(socket.get(), 1) != 0)
      ADD_FAILURE() << "cannot listen at " << path_;
    listening_ = ScopedFD(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0));
    server_.emplace(
        std::move(socket),
        [this, reply = std::move(reply)](ScopedFD connection, int) {
          connected_ = true;
          try {
            line_ = GuardianProtocol::readLine(connection.get(), 2, 4096);
            platform::sendNoSignal(connection.get(), reply.data(), reply.size());
          } catch (const KorvelinCoreError&) {
          }
        },
        busyFor);
  }
  ~FakeGuardian() {
    server_.reset();
    ::unlink(path_.c_str());
  }

  GuardianEndpoint endpoint() const {
    return {kGuardianProtocolVersion,
            LiveProcessIdentity::capture(::getpid()),
            ::getpid(),
            generation_,
            path_,
            capability_};
  }
  const std::string& path() const { return path_; }
  const std::string& capability() const { return capability_; }
  const Uuid& generation() const { return generation_; }
  // Stops serving: did a client connect (one still queued counts), and
  // which line did it send?
  bool connected() {
    server_.reset();
    return connected_ || platform::acceptLocalConnection(listening_.get());
  }
  std::optional<std::string> line() {
    server_.reset();
    return line_;
  }

 private:
  Uuid generation_;
  std::string path_;
  std::string capability_ = testing::randomCapability();
  std::atomic<bool> connected_ = false;
  std::optional<std::string> line_;
  ScopedFD listening_;
  std::optional<testing::LoopbackServer> server_;
};

// A full listen queue is a guardian busy with someone else, not a gone one.
TEST(GuardianClientTest, WaitsForABusyGuardian) {
  FakeGuardian guardian("ATTACHED\n", std::chrono::milliseconds(150));
  std::vector<ScopedFD> waiting;
  for (bool blocking : {true, true, false}) {
    waiting.push_back(platform::newLocalStreamSocket(!blocking));
    const int result = platform::connectLocal(waiting.back().get(), guardian.path());
    if (!blocking) {
      ASSERT_TRUE(result != 0 && errno == EAGAIN) << "the queue is not full";
    }
  }
  waiting.clear();  // still queued, and closed: the guardian reads nothing from them
  EXPECT_EQ(requestGuardian(guardian.endpoint(), "ATTACH", "cGF5bG9hZA=="), "ATTACHED");
}

TEST(GuardianClientTest, RefusesAnUntrustworthyRecordBeforeConnecting) {
  testing::Subprocess stranger({"/bin/sleep", "300"});
  const auto strangerIdentity = testing::identityOnceRunning(stranger.pid(), "/bin/sleep");
  ASSERT_TRUE(strangerIdentity);
  const std::vector<std::pair<const char*, std::function<void(GuardianEndpoint&)>>> cases = {
      {"legacy protocol", [](auto& e) { e.protocolVersion = 1; }},
      {"no protocol version", [](auto& e) { e.protocolVersion.reset(); }},
      {"no identity", [](auto& e) { e.guardianIdentity.reset(); }},
      {"stale identity", [](auto& e) { e.guardianIdentity->startSeconds -= 1; }},
      {"pid differs from identity", [](auto& e) { e.guardianPID = *e.guardianPID + 1; }},
      {"no generation", [](auto& e) { e.generation.reset(); }},
      {"no socket path", [](auto& e) { e.socketPath.reset(); }},
      {"no capability", [](auto& e) { e.capability.reset(); }},
      {"path of another generation", [](auto& e) { e.generation = Uuid::random(); }},
      {"upper-case generation in path",
       [](auto& e) {
         e.socketPath = guardianSocketPath(*e.generation);
         auto at = e.socketPath->find(e.generation->lowercaseString());
         e.socketPath->replace(at, 36, e.generation->uppercaseString());
       }},
      {"63-digit capability", [](auto& e) { e.capability->pop_back(); }},
      {"capability with g", [](auto& e) { e.capability->back() = 'g'; }},
  };
  for (const auto& [name, change] : cases) {
    FakeGuardian guardian("STOPPED\n");
    auto endpoint = guardian.endpoint();
    change(endpoint);
    EXPECT_TRUE(disconnects([&] { requestGuardian(endpoint, "STATUS"); })) << name;
    EXPECT_FALSE(guardian.connected()) << name;
  }

  // Listening at the right path is not enough: the peer must be the guardian.
  FakeGuardian impostor("STATUS x\n");
  auto endpoint = impostor.endpoint();
  endpoint.guardianIdentity = strangerIdentity;
  endpoint.guardianPID = stranger.pid();
  EXPECT_TRUE(disconnects([&] { requestGuardian(endpoint, "STATUS"); }));
  EXPECT_TRUE(impostor.connected());
  EXPECT_EQ(impostor.line(), std::nullopt) << "a request went to an impostor";
}

TEST(GuardianClientTest, RefusesASocketFileThatIsNotPrivate) {
  const std::vector<std::pair<const char*, std::function<void(const char*)>>> cases = {
      {"mode 0660", [](const char* path) { ::chmod(path, 0660); }},
      {"another owner", [](const char* path) { ::lchown(path, 65534, 65534); }},
      {"a regular file",
       [](const char* path) {
         ::unlink(path);
         testing::makeFile(path);
       }},
      {"missing", [](const char* path) { ::unlink(path); }},
  };
  for (const auto& [name, change] : cases) {
    if (std::string(name) == "another owner" && ::geteuid() != 0)
      continue;
    FakeGuardian guardian("STOPPED\n");
    change(guardian.path().c_str());
    EXPECT_TRUE(disconnects([&] { requestGuardian(guardian.endpoint(), "STOP"); })) << name;
    EXPECT_FALSE(guardian.connected()) << name;
  }
}

TEST(GuardianClientTest, BadRepliesAndArgumentsFail) {
  const std::vector<std::tuple<const char*, std::string, std::string, std::optional<std::string>>>
      cases = {
          {"closed without reply", "", "STATUS", std::nullopt},
          {"reply without line feed", "STOPPED", "STOP", std::nullopt},
          {"over-long reply", std::string(4096, 'r') + "\n", "STATUS", std::nullopt},
          {"command with a space", "STOPPED\n", "STOP now", std::nullopt},
          {"payload with a line feed", "ATTACHED\n", "ATTACH", std::string("a\nSTOP")},
      };
  for (const auto& [name, reply, command, payload] : cases) {
    FakeGuardian guardian(reply);
    EXPECT_TRUE(disconnects([&] { requestGuardian(guardian.endpoint(), command, payload); }))
        << name;
  }
}

TEST(GuardianClientTest, LegacyStopAcceptsOnlyStoppedAndALineFeed) {
  const Uuid profile = Uuid::random();
  const std::vector<std::pair<std::string, bool>> replies = {{"STOPPED\n", true},
                                                             {"STOPPED", false},
                                                             {"STOPPED\n\n", false},
                                                             {"", false},
                                                             {"OK\n", false}};
  for (const auto& [reply, accepted] : replies) {
    FakeGuardian guardian(reply);
    auto endpoint = guardian.endpoint();
    endpoint.protocolVersion.reset();
    endpoint.generation.reset();
    EXPECT_EQ(testing::thrownError([&] { stopLegacyGuardian(endpoint, profile); }),
              accepted ? std::nullopt
                       : std::optional(KorvelinCoreError::profileRecoveryRequired(profile)))
        << reply;
    EXPECT_EQ(guardian.line(), "STOP " + guardian.capability());
  }

  FakeGuardian guardian("STOPPED\n");
  for (auto change : std::vector<std::function<void(GuardianEndpoint&)>>{
           [](auto& e) { e.capability.reset(); }, [](auto& e) { e.socketPath.reset(); },
           [](auto& e) { e.guardianPID = *e.guardianPID + 1; }}) {
    auto endpoint = guardian.endpoint();
    change(endpoint);
    EXPECT_EQ(errorCaseOf([&] { stopLegacyGuardian(endpoint, profile); }),
              KorvelinCoreError::Case::profileRecoveryRequired);
  }
}

}  // namespace
}  // namespace korvelin
