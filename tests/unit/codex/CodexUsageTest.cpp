// Reading the app-server's rate-limit answers and notifications, shortening
// usage for the menu bar, and electing one reporter per account for resets.

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/codex/CodexUsage.h"
#include "core/codex/CodexUsageReset.h"
#include "tests/support/CodexUsageSupport.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Parser = CodexUsageMessageParser;
using testing::thrownDescription;

const Uuid kA = *Uuid::parse("0B9D3E4A-5C6F-4A8B-9C0D-1E2F3A4B5C6D");
const Uuid kB = *Uuid::parse("7E8F9A0B-1C2D-4E3F-8A5B-6C7D8E9F0A1B");
const Uuid kC = *Uuid::parse("1A2B3C4D-5E6F-4A7B-8C9D-0E1F2A3B4C5D");

std::string protocolError(const std::string& detail) {
  return "Codex usage protocol failed: " + detail + ".";
}

// The snapshot's JSON form, or the error's description.
std::string outcome(const std::function<CodexUsageSnapshot()>& read) {
  try {
    return nlohmann::json(read()).dump();
  } catch (const KorvelinCoreError& e) {
    EXPECT_EQ(e.errorCase(), KorvelinCoreError::Case::codexUsageProtocolFailed);
    return e.errorDescription();
  }
}

// An answer to the rate-limit read with `result` as its result.
std::string answer(const std::string& result) {
  return R"({"id":2,"result":)" + result + "}";
}

TEST(CodexUsageNumberTest, OnlyExactIntegersCount) {
  const struct {
    const char* json;
    std::optional<std::int64_t> expected;
  } cases[] = {
      {"-0.0", 0},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"-9.223372036854775808e18", std::numeric_limits<std::int64_t>::min()},
      {"9223372036854775808", std::nullopt},
      {"9.3e18", std::nullopt},
      {"true", std::nullopt},
      {"\"2\"", std::nullopt},
      {"null", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto value = nlohmann::json::parse(c.json);
    EXPECT_EQ(jsonInteger(&value), c.expected) << c.json;
  }
}

TEST(CodexUsageParserTest, RateLimitAnswers) {
  const auto limits = [](const std::string& body) {
    return answer(R"({"rateLimits":)" + body + "}");
  };
  const auto window = protocolError("invalid rate-limit window");
  const auto missing = protocolError("rate-limit response is missing");
  const auto invalid = protocolError("invalid JSON-RPC message");
  const struct {
    const char* name;
    std::string line;
    std::string expected;  // the snapshot's JSON, or the error
  } cases[] = {
      {"the real app-server's answer", std::string(testing::kRealAppServerAnswer),
       R"({"buckets":[{"id":"codex","primary":{"remainingPercent":94,"resetsAt":1796500000,"usedPercent":6,"windowDurationMins":300},"secondary":{"remainingPercent":76,"resetsAt":1796900000,"usedPercent":24,"windowDurationMins":10080}}],"observedAt":10.0,"remainingPercent":94})"},
      {"single bucket becomes codex",
       limits(R"({"primary":{"usedPercent":50,"windowDurationMins":300,"resetsAt":1796500000}})"),
       R"({"buckets":[{"id":"codex","primary":{"remainingPercent":50,"resetsAt":1796500000,"usedPercent":50,"windowDurationMins":300}}],"observedAt":10.0,"remainingPercent":50})"},
      {"by-limit map wins over the single bucket",
       answer(
           R"({"accountId":"acct","rateLimits":{"primary":{"usedPercent":1}},"rateLimitsByLimitId":{"x":{"limitName":"X","primary":{"usedPercent":30}}}})"),
       R"({"accountId":"acct","buckets":[{"id":"x","name":"X","primary":{"remainingPercent":70,"usedPercent":30}}],"observedAt":10.0,"remainingPercent":70})"},
      {"empty by-limit map falls back; empty account is none",
       answer(
           R"({"accountId":"","rateLimitsByLimitId":{},"rateLimits":{"limitId":"k","secondary":{"usedPercent":100}}})"),
       R"({"buckets":[{"id":"k","secondary":{"remainingPercent":0,"usedPercent":100}}],"observedAt":10.0})"},
      {"codex sorts first and is canonical",
       answer(
           R"({"rateLimitsByLimitId":{"codex_other":{"primary":{"usedPercent":9}},"a":{"primary":{"usedPercent":99}},"codex":{"primary":{"usedPercent":2.0}}}})"),
       R"({"buckets":[{"id":"a","primary":{"remainingPercent":1,"usedPercent":99}},{"id":"codex","primary":{"remainingPercent":98,"usedPercent":2}},{"id":"codex_other","primary":{"remainingPercent":91,"usedPercent":9}}],"observedAt":10.0,"remainingPercent":98})"},
      {"non-integer optional fields are absent",
       limits(
           R"({"limitName":"","primary":{"usedPercent":0,"windowDurationMins":2.5,"resetsAt":"soon"}})"),
       R"({"buckets":[{"id":"codex","primary":{"remainingPercent":100,"usedPercent":0}}],"observedAt":10.0,"remainingPercent":100})"},
      {"used 101", limits(R"({"primary":{"usedPercent":101}})"), window},
      {"used -1", limits(R"({"primary":{"usedPercent":-1}})"), window},
      {"duration 0", limits(R"({"primary":{"usedPercent":1,"windowDurationMins":0}})"), window},
      {"bucket not an object", answer(R"({"rateLimitsByLimitId":{"codex":3}})"),
       protocolError("invalid rate-limit bucket")},
      {"no identifier at all", answer(R"({"rateLimitsByLimitId":{"":{"limitId":""}}})"),
       protocolError("rate-limit identifier is missing")},
      {"neither form", limits("null"), protocolError("rate limits are unavailable")},
      {"no id", R"({"result":{"rateLimits":{}}})", missing},
      {"result not an object", R"({"id":2,"result":[]})", missing},
      {"not JSON", "{\"id\":2,", invalid},
      {"an array", "[1]", invalid},
      {"invalid UTF-8", "{\"id\":2,\"x\":\"\xff\"}", invalid},
      {"over 1 MiB", limits("{}") + std::string(1 << 20, ' '), invalid},
  };
  for (const auto& c : cases)
    EXPECT_EQ(outcome([&] { return Parser::parseRateLimitsResponse(c.line, 10); }), c.expected)
        << c.name;
}

TEST(CodexUsageParserTest, SparseNotifications) {
  const CodexUsageSnapshot current = Parser::parseRateLimitsResponse(
      answer(
          R"({"accountId":"acct","rateLimitsByLimitId":{"codex":{"limitName":"Codex","primary":{"usedPercent":40,"windowDurationMins":300,"resetsAt":100}}}})"),
      1);
  const auto update = [](const std::string& rateLimits) {
    return R"({"method":"account/rateLimits/updated","params":{"rateLimits":)" + rateLimits + "}}";
  };
  const auto tokens = [](const std::string& usage) {
    return R"({"method":"thread/tokenUsage/updated","params":{"tokenUsage":)" + usage + "}}";
  };
  // The current snapshot as a notification at time 2 leaves it.
  const std::string unchanged =
      R"({"accountId":"acct","buckets":[{"id":"codex","name":"Codex","primary":{"remainingPercent":60,"resetsAt":100,"usedPercent":40,"windowDurationMins":300}}],"observedAt":2.0,"remainingPercent":60})";
  const auto sparse = protocolError("invalid sparse rate-limit window");
  const auto thread = protocolError("invalid thread usage");
  const auto notification = protocolError("invalid notification");
  const struct {
    const char* name;
    std::string line;
    std::string expected;
  } cases[] = {
      {"only usedPercent keeps duration and reset", update(R"({"primary":{"usedPercent":45.0}})"),
       R"({"accountId":"acct","buckets":[{"id":"codex","name":"Codex","primary":{"remainingPercent":55,"resetsAt":100,"usedPercent":45,"windowDurationMins":300}}],"observedAt":2.0,"remainingPercent":55})"},
      {"a null window and an empty name change nothing",
       update(R"({"limitId":"codex","limitName":"","primary":null,"secondary":7})"), unchanged},
      {"unknown limit adds a bucket", update(R"({"limitId":"b","secondary":{"usedPercent":3}})"),
       R"({"accountId":"acct","buckets":[{"id":"b","secondary":{"remainingPercent":97,"usedPercent":3}},{"id":"codex","name":"Codex","primary":{"remainingPercent":60,"resetsAt":100,"usedPercent":40,"windowDurationMins":300}}],"observedAt":2.0,"remainingPercent":60})"},
      {"unknown limit with a window lacking usedPercent",
       update(R"({"limitId":"b","primary":{"windowDurationMins":5}})"),
       protocolError("invalid rate-limit window")},
      {"new secondary without usedPercent", update(R"({"secondary":{"resetsAt":5}})"), sparse},
      {"merged window out of range", update(R"({"primary":{"usedPercent":101}})"), sparse},
      {"merged duration 0", update(R"({"primary":{"windowDurationMins":0}})"), sparse},
      {"no rateLimits", R"({"method":"account/rateLimits/updated","params":{}})",
       protocolError("rate-limit update is missing")},
      {"token usage", tokens(R"({"total":{"totalTokens":12},"modelContextWindow":2.0})"),
       unchanged.substr(0, unchanged.size() - 1) +
           R"(,"threadContext":{"modelContextWindow":2,"totalTokens":12}})"},
      {"negative tokens", tokens(R"({"total":{"totalTokens":-1}})"), thread},
      {"context window 0", tokens(R"({"total":{"totalTokens":1},"modelContextWindow":0})"), thread},
      {"no total", tokens("{}"), thread},
      {"params not an object", R"({"method":"account/rateLimits/updated","params":[]})",
       notification},
      {"method not text", R"({"method":1,"params":{}})", notification},
      {"another method keeps everything, its date too", R"({"method":"configWarning","params":{}})",
       R"({"accountId":"acct","buckets":[{"id":"codex","name":"Codex","primary":{"remainingPercent":60,"resetsAt":100,"usedPercent":40,"windowDurationMins":300}}],"observedAt":1.0,"remainingPercent":60})"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(outcome([&] { return Parser::mergeNotification(c.line, current, 2); }), c.expected)
        << c.name;

  // A poll answer drops the thread context a notification added.
  const auto withContext = Parser::mergeNotification(cases[8].line, current, 2);
  ASSERT_TRUE(withContext.threadContext);
  EXPECT_FALSE(Parser::parseRateLimitsResponse(answer(R"({"rateLimits":{}})"), 3).threadContext);
}

ProfileMenuUsage usage(const Uuid& id,
                       std::string name,
                       std::optional<std::int64_t> used,
                       std::optional<std::string> account = std::nullopt) {
  ProfileMenuUsage result{id, std::move(name), ProfileColorToken::teal,
                          CodexProfileUsageAvailability::unavailable(
                              CodexUsageUnavailableReason::authenticationRequired)};
  if (used) {
    CodexRateLimitBucket bucket{"codex", std::nullopt, CodexUsageWindow{*used, {}, {}}, {}};
    result.availability = CodexProfileUsageAvailability::stale(
        CodexUsageSnapshot(std::move(account), {bucket}, std::nullopt, 0));
  }
  return result;
}

TEST(CodexUsageMenuTest, NamesForTheBar) {
  using Mode = MenuBarProfileNameMode;
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character
  const struct {
    Mode mode;
    std::string name;
    std::string expected;
  } cases[] = {
      {Mode::full, std::string(20, 'a'), std::string(20, 'a')},
      {Mode::full, std::string(21, 'a'), std::string(19, 'a') + "\u2026"},
      {Mode::full, "  Work  ", "Work  "},
      {Mode::full, "\u3000\t", "?"},
      {Mode::full, "", "?"},
      {Mode::oneCharacter, "   Work", "W"},
      {Mode::oneCharacter, "e\u0301clair", "e\u0301"},
      {Mode::twoCharacters, family + family + "x", family + family},
      {Mode::full, std::string(19, 'a') + family + "b", std::string(19, 'a') + "\u2026"},
      {Mode::full, std::string(19, 'a') + family, std::string(19, 'a') + family},
  };
  for (const auto& c : cases)
    EXPECT_EQ(displayName(c.mode, c.name), c.expected) << c.name;
}

TEST(CodexUsageMenuTest, CompactPresentation) {
  const std::vector<ProfileMenuUsage> three = {usage(kA, "A", 10), usage(kB, "B", 20),
                                               usage(kC, "C", 30)};
  const std::vector<ProfileMenuUsage> longFirst = {usage(kA, "Alpha", 10), usage(kB, "B", 20)};
  const struct {
    const char* name;
    std::vector<ProfileMenuUsage> profiles;
    std::int64_t entries;
    std::int64_t characters;
    std::string expected;  // the bar's text
    std::size_t hidden;
  } cases[] = {
      {"all fit", three, 3, 100, "A 90% \u00B7 B 80% \u00B7 C 70%", 0},
      {"two fit but +1 does not: drop back to one", three, 3, 14, "A 90% \u00B7 +2", 2},
      {"two and +1 fit", three, 3, 18, "A 90% \u00B7 B 80% \u00B7 +1", 1},
      {"entry limit", three, 1, 100, "A 90% \u00B7 +2", 2},
      {"nothing fits", three, 3, 4, "+3", 3},
      {"zero entries", three, 0, 100, "+3", 3},
      {"zero characters", three, 3, 0, "+3", 3},
      {"a long first stops acceptance", longFirst, 2, 6, "+2", 2},
      {"unavailable shows a dash", {usage(kA, "A", std::nullopt)}, 1, 3, "A \u2014", 0},
  };
  for (const auto& c : cases) {
    const CompactMenuPresentation presentation(c.profiles, MenuBarProfileNameMode::full, c.entries,
                                               c.characters);
    EXPECT_EQ(presentation.text(), c.expected) << c.name;
    EXPECT_EQ(presentation.hiddenCount, c.hidden) << c.name;
  }
  const CompactMenuPresentation one({usage(kA, "Work", 25)}, MenuBarProfileNameMode::full, 1, 20);
  EXPECT_EQ(one.entries.at(0).accessibilityLabel, "Work, 75 percent remaining");
  const CompactMenuPresentation none({usage(kA, "Work", {})}, MenuBarProfileNameMode::full, 1, 20);
  EXPECT_EQ(none.entries.at(0).accessibilityLabel, "Work, usage unavailable");
}

TEST(CodexUsageMenuTest, SharedAccounts) {
  EXPECT_EQ(sharedAccountProfileIDs({usage(kA, "A", 1, "acct"), usage(kB, "B", 2, "acct"),
                                     usage(kC, "C", 3), usage(Uuid::random(), "D", {})}),
            (std::set<Uuid>{kA, kB}));
  EXPECT_TRUE(sharedAccountProfileIDs({usage(kA, "A", 1, "x"), usage(kB, "B", 2, "y")}).empty());
}

CodexUsageSnapshot snapshot(double at,
                            std::int64_t used,
                            std::optional<std::string> account = "acct",
                            std::optional<std::int64_t> duration = 300) {
  CodexRateLimitBucket bucket{"codex", std::nullopt, CodexUsageWindow{used, duration, {}}, {}};
  return CodexUsageSnapshot(std::move(account), {bucket}, std::nullopt, at);
}

TEST(CodexUsageResetTest, ResetsOfOneWindow) {
  const std::vector<CodexUsageResetWindow> none;
  const struct {
    std::int64_t before;
    std::int64_t after;
    std::vector<CodexUsageResetWindow> expected;
  } cases[] = {
      {80, 3, {{300, 97}}}, {80, 5, none}, {2, 1, {{300, 99}}}, {3, 3, none}, {1, 4, none},
  };
  for (const auto& c : cases) {
    CodexUsageResetDetector detector;
    EXPECT_EQ(detector.observe(snapshot(1, c.before), kA), none);
    EXPECT_EQ(detector.observe(snapshot(2, c.after), kA), c.expected)
        << c.before << "->" << c.after;
  }
}

TEST(CodexUsageResetTest, ElectionsAndBaselines) {
  const std::vector<CodexUsageResetWindow> none;
  const std::vector<CodexUsageResetWindow> reset = {{300, 99}};
  CodexUsageResetDetector detector;
  // A reports first and is elected; B on the same account never reports.
  detector.observe(snapshot(1, 80), kA);
  detector.observe(snapshot(1, 80), kB);
  EXPECT_EQ(detector.observe(snapshot(2, 1), kB), none);
  EXPECT_EQ(detector.observe(snapshot(2, 1), kA), reset);
  // Stale and repeated snapshots change nothing.
  EXPECT_EQ(detector.observe(snapshot(2, 90), kA), none);
  EXPECT_EQ(detector.observe(snapshot(std::nan(""), 90), kA), none);
  EXPECT_EQ(detector.observe(snapshot(3, 0), kA), (decltype(reset){{300, 100}}));
  // A changed duration is another window: it only elects.
  detector.observe(snapshot(4, 50), kA);
  EXPECT_EQ(detector.observe(snapshot(5, 1, "acct", 60), kA), none);
  // Invalidating suppresses the next comparison only.
  detector.observe(snapshot(6, 50), kA);
  detector.invalidate(kA);
  EXPECT_EQ(detector.observe(snapshot(7, 1), kA), none);
  detector.observe(snapshot(8, 50), kA);
  EXPECT_EQ(detector.observe(snapshot(9, 1), kA), reset);
  // A moves to another account and gives up its elections; B takes them over
  // with its next snapshot and reports from the one after.
  detector.observe(snapshot(10, 50, "other"), kA);
  detector.observe(snapshot(10, 50), kB);
  EXPECT_EQ(detector.observe(snapshot(11, 1), kB), reset);
  // Without an account a profile is its own owner.
  detector.observe(snapshot(12, 50, std::nullopt), kC);
  EXPECT_EQ(detector.observe(snapshot(13, 2, std::nullopt), kC), (decltype(reset){{300, 98}}));
  // Forgetting B frees its elections for A once A is back on the account.
  detector.retainProfiles({kA, kC});
  detector.observe(snapshot(14, 60), kA);
  EXPECT_EQ(detector.observe(snapshot(15, 0), kA), (decltype(reset){{300, 100}}));
  detector.invalidateBaselines();
  EXPECT_EQ(detector.observe(snapshot(16, 0), kA), none);
}

}  // namespace
}  // namespace korvelin
