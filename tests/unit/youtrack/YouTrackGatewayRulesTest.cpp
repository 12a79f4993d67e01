// What the gateway and its stores decide on their own, without a network:
// the status every malformed request gets, the capability comparison, the
// token rules, the credential files, the supervisor's bookkeeping and the
// coordinator that keeps the token still while runs use it.

#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/youtrack/YouTrackCredentialMutationCoordinator.h"
#include "core/youtrack/YouTrackCredentialStore.h"
#include "core/youtrack/YouTrackGatewayRequest.h"
#include "core/youtrack/YouTrackMCPGatewaySupervisor.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using testing::errorCaseOf;

const std::string kCapability(64, 'a');

std::string request(const std::string& line,
                    const std::string& headers,
                    const std::string& body = "") {
  return line + "\r\n" + headers + "\r\n" + body;
}
const std::string kAuthorized = "X-Korvelin-Capability: " + kCapability + "\r\n";

// 0 for a complete request, -1 for one still arriving, else the status.
int outcome(const std::string& bytes) {
  const ParseResult result = parseGatewayRequest(bytes, kCapability);
  if (const auto* failure = std::get_if<ParseFailure>(&result))
    return failure->status;
  return std::holds_alternative<ParseIncomplete>(result) ? -1 : 0;
}

TEST(GatewayRequestTest, EachMalformedRequestGetsTheStatusOfItsFirstFailedCheck) {
  const std::string post = "POST /mcp HTTP/1.1";
  const struct {
    const char* name;
    std::string bytes;
    int status;
  } cases[] = {
      {"body still arriving", request(post, kAuthorized + "Content-Length: 3\r\n", "{}"), -1},
      {"head still arriving", "POST /mcp HTTP/1.1\r\nAccept: x", -1},
      {"bare line feed", "POST /mcp HTTP/1.1\nAccept: x\r\n\r\n", 400},
      {"bare line feed in the body", request(post, kAuthorized + "Content-Length: 2\r\n", "{\n"),
       400},
      {"40000-byte head without end", "POST /mcp HTTP/1.1\r\nX: " + std::string(40000, 'x'), 431},
      {"head over 32768 bytes", request(post, "X: " + std::string(33000, 'x') + "\r\n"), 400},
      {"head not UTF-8", request(post, kAuthorized + "X: \xff\r\n"), 400},
      {"HTTP/1.0", request("GET /mcp HTTP/1.0", kAuthorized), 400},
      {"two spaces", request("GET  /mcp HTTP/1.1", kAuthorized), 400},
      {"PUT", request("PUT /mcp HTTP/1.1", kAuthorized), 405},
      {"unauthorised method before target", request("PUT /other HTTP/1.1", ""), 405},
      {"query string", request("GET /mcp?x=1 HTTP/1.1", kAuthorized), 404},
      {"folded header", request(post, kAuthorized + "Accept: a\r\n b\r\n"), 400},
      {"line without colon", request(post, kAuthorized + "Accept\r\n"), 400},
      {"empty header name", request(post, kAuthorized + ": x\r\n"), 400},
      {"names differing in case", request(post, kAuthorized + "Accept: a\r\naccept: b\r\n"), 400},
      {"transfer-encoding", request(post, kAuthorized + "Transfer-Encoding: chunked\r\n"), 400},
      {"length over 4 MiB", request(post, kAuthorized + "Content-Length: 4194305\r\n"), 413},
      {"length not decimal", request(post, kAuthorized + "Content-Length: +2\r\n", "{}"), 413},
      {"pipelined bytes", request(post, kAuthorized + "Content-Length: 1\r\n", "{}"), 400},
      {"no capability", request(post, "Content-Length: 0\r\n"), 401},
      {"capability one character off",
       request(post, "X-Korvelin-Capability: " + std::string(63, 'a') + "b\r\n"), 401},
      {"capability one character short",
       request(post, "X-Korvelin-Capability: " + std::string(63, 'a') + "\r\n"), 401},
      {"capability with a NUL more",
       request(post, "X-Korvelin-Capability: " + kCapability + std::string(1, '\0') + "\r\n"), 401},
  };
  for (const auto& c : cases)
    EXPECT_EQ(outcome(c.bytes), c.status) << c.name;
}

TEST(YouTrackTokenTest, TheValidatorRefusesWhatCannotBeAToken) {
  for (const std::string& token :
       {std::string(), std::string(8193, 'a'), std::string("   \n "), std::string("ab\tc"),
        std::string("a\xe2\x80\x8b"), std::string("\xff")})
    EXPECT_EQ(errorCaseOf([&] { YouTrackTokenValidator::validatedData(token); }),
              Case::invalidYouTrackToken);
  EXPECT_EQ(YouTrackTokenValidator::validatedData(" perm:x"), " perm:x");
  EXPECT_EQ(YouTrackTokenValidator::validatedData(std::string(8192, 'a')).size(), 8192u);
}

TEST(YouTrackTokenTest, TheFileStoreKeepsOnePrivateTokenAndRefusesAnUnsafeOne) {
  testing::ScopedTempDir base;
  YouTrackFileCredentialStore store(base.path());
  EXPECT_EQ(store.status(), YouTrackCredentialStatus::notConfigured);
  EXPECT_EQ(errorCaseOf([&] { store.readToken(); }), Case::youTrackCredentialNotConfigured);
  store.storeToken(" first");
  store.storeToken("second");  // replaces
  EXPECT_EQ(store.readToken(), "second");
  const std::string file = base.child("Credentials/mcp.youtrack/shared");
  EXPECT_EQ(testing::modeOf(file), 0600u);
  EXPECT_EQ(testing::modeOf(base.child("Credentials/mcp.youtrack")), 0700u);

  ::chmod(file.c_str(), 0644);
  EXPECT_EQ(errorCaseOf([&] { store.readToken(); }), Case::youTrackCredentialUnavailable);
  ::chmod(file.c_str(), 0600);
  store.deleteToken();
  store.deleteToken();  // twice is fine
  EXPECT_EQ(store.status(), YouTrackCredentialStatus::notConfigured);
}

TEST(YouTrackTokenTest, GenericSecretsFailLikeTheirOperation) {
  testing::ScopedTempDir base;
  PrivateFileCredentialStore store(base.path(), "proxy");
  const Uuid reference = Uuid::random();
  EXPECT_EQ(errorCaseOf([&] { store.create(reference, ""); }), Case::invalidCredentialSecret);
  store.create(reference, "s1");
  const auto failure = [&](auto&& call) {
    return testing::thrownDescription(Case::keychainOperationFailed, call).value_or("");
  };
  EXPECT_EQ(failure([&] { store.create(reference, "s2"); }),
            "Keychain create failed with status " + std::to_string(EEXIST) + ".");
  store.update(reference, "s2");
  EXPECT_EQ(store.read(reference), "s2");
  store.remove(reference);
  EXPECT_EQ(failure([&] { store.remove(reference); }),
            "Keychain delete failed with status " + std::to_string(ENOENT) + ".");
  EXPECT_EQ(failure([&] { store.update(reference, "s3"); }),
            "Keychain update failed with status " + std::to_string(ENOENT) + ".");
}

// One gateway per profile, stopped only by its own handle; then the proxies
// it cannot use, refused without keeping the profile from starting again.
TEST(GatewaySupervisorTest, OneGatewayPerProfileAndNoneThroughAProxyItCannotUse) {
  YouTrackMCPGatewaySupervisor supervisor({"https://youtrack.invalid/mcp", std::nullopt});
  const auto startAgain = [&](const Uuid& profile) {
    return errorCaseOf([&] { supervisor.start(profile, "token", std::nullopt); });
  };
  const Uuid profile = Uuid::random();
  const auto first = supervisor.start(profile, "token", std::nullopt);
  EXPECT_EQ(first.capability.size(), 64u);
  EXPECT_EQ(first.capability.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(startAgain(profile), Case::alreadyRunning);
  supervisor.stop(profile);
  const auto second = supervisor.start(profile, "token", std::nullopt);
  EXPECT_NE(second.capability, first.capability);
  EXPECT_NE(second.generation, first.generation);
  supervisor.stop(first);  // stale: the second keeps running
  EXPECT_EQ(startAgain(profile), Case::alreadyRunning);
  supervisor.stop(second);
  supervisor.stop(supervisor.start(profile, "token", std::nullopt));

  auto zeroPort = ProfileProxyConfiguration(ProfileProxyScheme::socks5, "127.0.0.1", 1080);
  zeroPort.port = 0;
  const std::pair<ProfileProxyConfiguration, std::string> cases[] = {
      {zeroPort, "Proxy port must be between 1 and 65535."},
      {ProfileProxyConfiguration(ProfileProxyScheme::https, "proxy.test", 443),
       "HTTPS proxy transport is not supported by the YouTrack gateway."}};
  for (const auto& [proxy, message] : cases) {
    const Uuid other = Uuid::random();
    EXPECT_EQ(testing::thrownDescription(Case::invalidProxyConfiguration,
                                         [&] { supervisor.start(other, "t", proxy); }),
              message);
    EXPECT_EQ(startAgain(other), std::nullopt);  // a refused start leaves the profile free
    supervisor.stop(other);
  }
  EXPECT_EQ(errorCaseOf([] {
              YouTrackMCPGatewaySupervisor({"http://youtrack.test/mcp", std::nullopt})
                  .start(Uuid::random(), "t", std::nullopt);
            }),
            Case::youTrackGatewayUnavailable);  // plain http off loopback
}

TEST(CredentialCoordinatorTest, AChangeWaitsForNoLaunchAndNoRun) {
  YouTrackCredentialMutationCoordinator coordinator;
  const auto change = [&](bool safe) {
    return errorCaseOf([&] { coordinator.perform(safe, [] {}); });
  };
  const Uuid ticket = coordinator.beginLaunch();
  EXPECT_EQ(change(true), Case::youTrackCredentialMutationBlocked);
  coordinator.finishLaunch(ticket, std::nullopt);
  EXPECT_EQ(change(true), std::nullopt);
  EXPECT_EQ(change(false), Case::youTrackCredentialMutationBlocked);
  const Uuid profile = Uuid::random();
  coordinator.finishLaunch(coordinator.beginLaunch(), profile);
  EXPECT_EQ(change(true), Case::youTrackCredentialMutationBlocked);
  coordinator.finishRun(profile);
  EXPECT_EQ(coordinator.perform(true, [] { return 7; }), 7);
  // A launch during a change fails at once; a failed change still ends.
  EXPECT_EQ(errorCaseOf([&] {
              coordinator.perform(true, [&] {
                EXPECT_EQ(errorCaseOf([&] { coordinator.beginLaunch(); }),
                          Case::youTrackCredentialMutationBlocked);
                throw KorvelinCoreError::invalidYouTrackToken();
              });
            }),
            Case::invalidYouTrackToken);
  coordinator.finishLaunch(coordinator.beginLaunch(), std::nullopt);
}

// Launches and token changes racing on two threads: a change body never
// runs while a launch is between its ticket and its end, or a run it
// registered is still going.
TEST(CredentialCoordinatorTest, InterleavedLaunchesNeverSeeTheTokenChange) {
  YouTrackCredentialMutationCoordinator coordinator;
  std::atomic<int> using_{0};
  std::atomic<int> violations{0};
  std::atomic<bool> done{false};
  std::thread launcher([&] {
    for (int i = 0; i < 2000; ++i) {
      try {
        const Uuid ticket = coordinator.beginLaunch();
        ++using_;
        const Uuid profile = Uuid::random();
        if (i % 2 == 0) {
          coordinator.finishLaunch(ticket, profile);  // the run goes on using the token
          --using_;
          coordinator.finishRun(profile);
        } else {
          --using_;
          coordinator.finishLaunch(ticket, std::nullopt);
        }
      } catch (const KorvelinCoreError&) {
      }
      std::this_thread::yield();
    }
    done = true;
  });
  while (!done) {
    try {
      coordinator.perform(true, [&] {
        if (using_.load() != 0)
          ++violations;
      });
    } catch (const KorvelinCoreError&) {
    }
  }
  launcher.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(errorCaseOf([&] { coordinator.perform(true, [] {}); }), std::nullopt);
}

}  // namespace
}  // namespace korvelin
