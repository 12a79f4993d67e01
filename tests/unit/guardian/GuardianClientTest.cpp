// The core's client against a guardian played by this test process, so that
// every check of the client can be failed on purpose.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

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
    EXPECT_EQ(errorCaseOf([&] { requestGuardian(endpoint, "STATUS"); }),
              KorvelinCoreError::Case::proxyDisconnected)
        << name;
    EXPECT_FALSE(guardian.connected()) << name;
  }

  // Listening at the right path is not enough: the peer must be the guardian.
  FakeGuardian impostor("STATUS x\n");
  auto endpoint = impostor.endpoint();
  endpoint.guardianIdentity = strangerIdentity;
  endpoint.guardianPID = stranger.pid();
  EXPECT_EQ(errorCaseOf([&] { requestGuardian(endpoint, "STATUS"); }),
            KorvelinCoreError::Case::proxyDisconnected);
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
    EXPECT_EQ(errorCaseOf([&] { requestGuardian(guardian.endpoint(), "STOP"); }),
              KorvelinCoreError::Case::proxyDisconnected)
        << name;
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
    EXPECT_EQ(errorCaseOf([&] { requestGuardian(guardian.endpoint(), command, payload); }),
              KorvelinCoreError::Case::proxyDisconnected)
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
