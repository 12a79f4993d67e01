#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "core/base/CoreError.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/platform/ScopedFD.h"
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

const std::optional kDisconnected = KorvelinCoreError::Case::proxyDisconnected;

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
      EXPECT_EQ(errorCaseOf(read), kDisconnected) << c.name;
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
  EXPECT_EQ(errorCaseOf([&] { GuardianProtocol::readLine(pair.near.get(), 0.2, 4096); }),
            kDisconnected);
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
  EXPECT_EQ(errorCaseOf([&] { GuardianProtocol::readLine(pair.near.get(), 0.3, 4096); }),
            kDisconnected);
  done = true;
  trickle.join();
}

TEST(GuardianProtocolTest, WriteLineSendsAtMost8192Bytes) {
  SocketPair pair;
  GuardianProtocol::writeLine(std::string(8191, 'w'), pair.near.get(), 1);
  std::string received(9000, '\0');
  ASSERT_EQ(::recv(pair.far.get(), received.data(), received.size(), 0), 8192);
  EXPECT_EQ(received.substr(0, 8192), std::string(8191, 'w') + "\n");

  EXPECT_EQ(
      errorCaseOf([&] { GuardianProtocol::writeLine(std::string(8192, 'w'), pair.near.get(), 1); }),
      kDisconnected);
  EXPECT_EQ(::recv(pair.far.get(), received.data(), received.size(), 0), -1) << "nothing was sent";
}

TEST(GuardianProtocolTest, WriteLineFailsOnAStuckOrClosedPeer) {
  SocketPair stuck;
  const std::string chunk(65536, 'f');
  while (::send(stuck.near.get(), chunk.data(), chunk.size(), 0) > 0) {
  }
  EXPECT_EQ(errorCaseOf([&] { GuardianProtocol::writeLine("late", stuck.near.get(), 0.1); }),
            kDisconnected);

  // With SIGPIPE at its default, a write to a closed peer would kill the test.
  auto previous = ::signal(SIGPIPE, SIG_DFL);
  SocketPair closed;
  closed.far.reset();
  EXPECT_EQ(errorCaseOf([&] { GuardianProtocol::writeLine("gone", closed.near.get(), 0.1); }),
            kDisconnected);
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
    EXPECT_EQ(errorCaseOf([&] { GuardianStatus::fromReplyLine(bad); }), kDisconnected) << bad;
}

TEST(Base64Test, DecodesOnlyCanonicalPaddedText) {
  EXPECT_EQ(base64Encode("hello"), "aGVsbG8=");
  EXPECT_EQ(base64Decode("aGVsbG8="), "hello");
  EXPECT_EQ(base64Decode(""), "");
  for (const char* bad : {"aGVsbG8", "aGVsbG9=", "aGVs bG8=", "aGVsbG8=\n", "aGVsbG8-", "a==="})
    EXPECT_FALSE(base64Decode(bad)) << bad;
}

}  // namespace
}  // namespace korvelin
