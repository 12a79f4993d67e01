#include "core/apps/ClaudeLaunchAuthorization.h"

#include <chrono>
#include <functional>

#include <gtest/gtest.h>

#include "tests/support/CatalogFixtures.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using Date = ClaudeLaunchAuthorization::Date;
using testing::claudeInstallation;
using testing::thrownDescription;

const std::string kRefused = "Claude launch is not authorized: ";
const LiveProcessIdentity kIssuer{4242, 4242, 501, 1000, 250, "/usr/bin/korvelin", "boot"};

std::string reasonOf(const std::function<void()>& call) {
  return thrownDescription(KorvelinCoreError::Case::claudeLaunchNotAuthorized, call)
      .value_or("(allowed)");
}

std::string outcome(const ClaudeLaunchDecision& decision) {
  if (const auto* denial = std::get_if<ClaudeLaunchDenial>(&decision))
    return std::string(rawValue(*denial));
  return "allow";
}

struct Fixture {
  explicit Fixture(bool enforcing = true) { service.setEnforcementActive(enforcing); }

  Date now = Date{} + 1'000'000s;
  ClaudeLaunchAuthorizationService service{[this] { return now; },
                                           [] { return std::optional(kIssuer); }};

  ClaudeExecFacts facts() const {
    return {"/Applications/Claude.app/Contents/MacOS/Claude",
            "Q6L2SF6YDW",
            "00ff",
            kIssuer.pid,
            kIssuer.startSeconds,
            kIssuer.startMicroseconds};
  }

  ClaudeLaunchAuthorization issue() { return service.issue(Uuid::random(), claudeInstallation()); }
  // The decision on an execution with `facts` at `at`.
  std::string evaluate(const ClaudeExecFacts& facts, Date at) {
    return outcome(service.evaluate(facts, at));
  }
  // Why the managed launch's consumption of `authorization` is refused.
  std::string consume(const ClaudeLaunchAuthorization& authorization) {
    return reasonOf([&] { service.consumeForManagedLaunch(authorization); });
  }
};

TEST(ClaudeLaunchAuthorizationTest, OnlyAClaudeIdentityCanBeAuthorized) {
  const std::vector<std::pair<std::string, std::function<void(CodexInstallation&)>>> cases = {
      {"another bundle", [](auto& i) { i.bundleIdentifier = "com.google.Chrome"; }},
      {"another team", [](auto& i) { i.signingTeamIdentifier = "EQHXZ8M8AV"; }},
      {"no code-directory hash", [](auto& i) { i.codeDirectoryHash.clear(); }},
      {"no executable", [](auto& i) { i.executableURL.clear(); }},
  };
  for (const auto& [name, change] : cases) {
    Fixture fixture;
    auto installation = claudeInstallation();
    change(installation);
    EXPECT_EQ(reasonOf([&] { fixture.service.issue(Uuid::random(), installation); }),
              kRefused + "not an authorized Claude identity.")
        << name;
    EXPECT_EQ(fixture.service.openAuthorizationCount(), 0u) << name;
  }

  ClaudeLaunchAuthorizationService noIssuer{nullptr, [] { return std::nullopt; }};
  EXPECT_EQ(reasonOf([&] { noIssuer.issue(Uuid::random(), claudeInstallation()); }),
            kRefused + "could not capture issuer identity.");

  Fixture fixture;
  auto installation = claudeInstallation();
  installation.executableURL = "file:///Applications/Claude.app/Contents/MacOS/../MacOS/Claude";
  const auto authorization = fixture.service.issue(Uuid::random(), installation);
  EXPECT_EQ(authorization.identity.executablePath,
            "/Applications/Claude.app/Contents/MacOS/Claude");
  EXPECT_EQ(authorization.expiresAt - authorization.issuedAt, 15s);
  EXPECT_EQ(authorization.issuer, kIssuer);
}

TEST(ClaudeLaunchAuthorizationTest, EvaluateDeniesEveryExecutionItDidNotIssue) {
  struct Case {
    std::string name;
    std::function<void(ClaudeExecFacts&)> change;
    std::chrono::milliseconds after;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"valid", [](auto&) {}, 0ms, "allow"},
      {"just before expiry", [](auto&) {}, 14900ms, "allow"},
      {"at expiry", [](auto&) {}, 15000ms, "authorizationExpired"},
      {"other executable", [](auto& f) { f.executablePath += "2"; }, 0ms, "unauthorizedExecutable"},
      {"other team", [](auto& f) { f.teamIdentifier = "X"; }, 0ms, "executableIdentityMismatch"},
      {"other hash", [](auto& f) { f.codeDirectoryHash = "00fe"; }, 0ms,
       "executableIdentityMismatch"},
      {"other parent", [](auto& f) { f.parentPID += 1; }, 0ms, "foreignAncestry"},
      {"parent restarted", [](auto& f) { f.parentStartMicroseconds += 1; }, 0ms, "foreignAncestry"},
      {"expired beats identity of parent", [](auto& f) { f.parentPID += 1; }, 15000ms,
       "authorizationExpired"},
  };
  for (const auto& c : cases) {
    Fixture fixture;
    const auto issued = fixture.issue();
    auto facts = fixture.facts();
    c.change(facts);
    const auto decision = fixture.service.evaluate(facts, issued.issuedAt + c.after);
    EXPECT_EQ(outcome(decision), c.expected) << c.name;
    if (c.expected == "allow") {
      EXPECT_EQ(std::get<ClaudeLaunchAuthorization>(decision), issued) << c.name;
      EXPECT_EQ(fixture.evaluate(facts, issued.issuedAt + c.after), "authorizationReplayed")
          << c.name;
    }
  }

  Fixture inactive(false);
  inactive.issue();
  EXPECT_EQ(inactive.evaluate(inactive.facts(), inactive.now), "enforcementUnavailable");
}

TEST(ClaudeLaunchAuthorizationTest, ManagedConsumptionAcceptsEachExecutionOnceFromEachSide) {
  Fixture fixture;

  // The enforcement component saw the execution first: the launch's own
  // consumption still succeeds, as often as it is asked.
  const auto seen = fixture.issue();
  ASSERT_EQ(fixture.evaluate(fixture.facts(), seen.issuedAt + 1s), "allow");
  fixture.now += 20s;
  EXPECT_EQ(fixture.consume(seen), "(allowed)");
  EXPECT_EQ(fixture.consume(seen), "(allowed)");

  // Consumed by the launch first: a later execution with it is a replay.
  const auto managed = fixture.issue();
  fixture.now = managed.expiresAt;
  EXPECT_EQ(fixture.consume(managed), "(allowed)");
  EXPECT_EQ(fixture.consume(managed), kRefused + "authorization replayed.");
  auto facts = fixture.facts();
  EXPECT_EQ(fixture.evaluate(facts, managed.issuedAt + 1s), "authorizationReplayed");

  const auto late = fixture.issue();
  fixture.now = late.expiresAt + 1ns;
  EXPECT_EQ(fixture.consume(late), kRefused + "authorization expired.");

  const auto fresh = fixture.issue();
  fixture.now = fresh.issuedAt;
  auto altered = fresh;
  altered.profileID = Uuid::random();
  EXPECT_EQ(fixture.consume(altered), kRefused + "authorization mismatch.");
  altered = fresh;
  altered.token = Uuid::random();
  EXPECT_EQ(fixture.consume(altered), kRefused + "unknown authorization.");
}

TEST(ClaudeLaunchAuthorizationTest, ExpiredAuthorizationsArePurgedOnlyByTheNextIssue) {
  Fixture fixture;
  const auto first = fixture.issue();
  const auto facts = fixture.facts();

  // Long after expiry the record is still there (expired, not unknown).
  EXPECT_EQ(fixture.evaluate(facts, first.issuedAt + 1h), "authorizationExpired");

  // An issue exactly at expiry keeps it; one later purges it with its
  // consumption.
  fixture.now = first.expiresAt;
  fixture.issue();
  EXPECT_EQ(fixture.service.openAuthorizationCount(), 2u);
  fixture.now = first.expiresAt + 1ns;
  fixture.issue();
  EXPECT_EQ(fixture.service.openAuthorizationCount(), 2u);
  EXPECT_EQ(fixture.consume(first), kRefused + "unknown authorization.");
}

}  // namespace
}  // namespace korvelin
