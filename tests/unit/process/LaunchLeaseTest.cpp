#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/process/LaunchLease.h"
#include "core/process/ProcessSnapshot.h"

namespace korvelin {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
const Uuid kRun = *Uuid::parse("8D9B2C4E-1F3A-4B5C-9D6E-7F8091A2B3C4");
const Uuid kOtherRun = *Uuid::parse("00000000-0000-4000-8000-000000000001");
const Uuid kProfile = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
constexpr double kStartedAt = 1780000000.123456;

LiveProcessIdentity sampleIdentity() {
  return {
      412, 412, 1000, 1780000000, 130000, "/usr/bin/app", "887741f7-deed-4b56-9cec-a291f0d37a2d"};
}

std::string startingLine(const Uuid& run = kRun, double startedAt = kStartedAt) {
  return leaseJSON(run, startedAt, std::nullopt, std::nullopt, "starting", std::nullopt);
}

std::string runningLine(const Uuid& run = kRun, double startedAt = kStartedAt) {
  return leaseJSON(run, startedAt, 412, 412, "running", sampleIdentity());
}

TEST(LaunchLeaseTest, WritesAndReadsTheTwoLineLeaseOfARun) {
  // Sorted keys, absent values left out.
  EXPECT_EQ(
      startingLine(),
      R"({"runID":"8D9B2C4E-1F3A-4B5C-9D6E-7F8091A2B3C4","startedAt":1780000000.123456,"state":"starting"})");
  EXPECT_THAT(runningLine(), StartsWith(R"({"identity":{)"));
  EXPECT_THAT(runningLine(), HasSubstr(R"(},"processGroupID":412,"rootPID":412,"runID":)"));
  auto lease = parseDurableProcessLease(startingLine() + "\n" + runningLine() + "\n");
  ASSERT_TRUE(lease);
  EXPECT_EQ(lease->runID, kRun);
  EXPECT_EQ(lease->startedAt, kStartedAt);
  EXPECT_EQ(lease->rootPID, 412);
  EXPECT_EQ(lease->processGroupID, 412);
  EXPECT_EQ(lease->identity, sampleIdentity());
  // A lone running line (no starting line) and blank lines are accepted.
  EXPECT_TRUE(parseDurableProcessLease("\n" + runningLine() + "\n\n"));
}

TEST(LaunchLeaseTest, RefusesEveryLeaseThatDoesNotProveARun) {
  const std::string starting = startingLine() + "\n";
  const std::string running = runningLine() + "\n";
  // The running line of the run, without its identity, changed by `edit`.
  const auto runningAs = [&](const std::function<void(nlohmann::json&)>& edit) {
    auto line = nlohmann::json::parse(leaseJSON(kRun, kStartedAt, 1, 1, "running", std::nullopt));
    edit(line);
    return starting + line.dump() + "\n";
  };
  ASSERT_TRUE(parseDurableProcessLease(runningAs([](auto&) {})));
  const nlohmann::json partialIdentity = {{"pid", 1}};
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"only blank lines", "\n\n"},
      {"starting line only", starting},
      {"three lines", starting + running + running},
      {"running line first", running + starting},
      {"startedAt differs in the last digit",
       startingLine(kRun, 1780000000.123457) + "\n" + running},
      {"other run in line 1", startingLine(kOtherRun) + "\n" + running},
      {"not JSON", starting + "{not json}\n"},
      {"not UTF-8", starting + "\xff\xfe\n"},
      {"array line", starting + "[]\n"},
      {"state not running", runningAs([](auto& j) { j["state"] = "stopped"; })},
      {"unknown key", runningAs([](auto& j) { j["extra"] = 1; })},
      {"missing rootPID", runningAs([](auto& j) { j.erase("rootPID"); })},
      {"pid out of range", runningAs([](auto& j) { j["rootPID"] = 4294967296; })},
      {"run not a UUID", runningAs([](auto& j) { j["runID"] = "run"; }).substr(starting.size())},
      {"identity missing a key", runningAs([&](auto& j) { j["identity"] = partialIdentity; })},
  };
  for (const auto& [name, bytes] : cases)
    EXPECT_FALSE(parseDurableProcessLease(bytes)) << name;
}

// A launch event carries only its known fields; recovery evidence repeats the
// lease's lines and refuses a lease that is not JSON lines of UTF-8.
TEST(LaunchLeaseTest, EventsAndRecoveryEvidenceCarryOnlyWhatTheyShould) {
  EXPECT_EQ(nlohmann::json::parse(launchEventJSON("managed_group_stopped", kProfile, kRun, 5.5, 412,
                                                  std::nullopt, 15)),
            nlohmann::json::parse(R"({"event": "managed_group_stopped", "timestamp": 5.5,
                "profileID": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "rootPID": 412,
                "runID": "8D9B2C4E-1F3A-4B5C-9D6E-7F8091A2B3C4", "terminationSignal": 15})"));
  const std::string lease = startingLine() + "\n" + runningLine() + "\n";
  auto evidence = nlohmann::json::parse(recoveryEvidenceJSON(kProfile, kRun, 7.0, lease));
  EXPECT_EQ(evidence["event"], "stale_lease_recovered");
  EXPECT_EQ(evidence["recoveredAt"], 7.0);
  ASSERT_EQ(evidence["leaseJournal"].size(), 2u);
  EXPECT_EQ(evidence["leaseJournal"][0], nlohmann::json::parse(startingLine()));
  EXPECT_EQ(evidence["leaseJournal"][1], nlohmann::json::parse(runningLine()));
  EXPECT_THROW(recoveryEvidenceJSON(kProfile, kRun, 7.0, lease + "[1]\n"), KorvelinCoreError);
  EXPECT_THROW(recoveryEvidenceJSON(kProfile, kRun, 7.0, "\xff"), KorvelinCoreError);
}

TEST(ProcessSnapshotTest, CarriesTheProxyHealthThroughJson) {
  ProcessSnapshot snapshot;
  snapshot.profileID = Uuid::random();
  snapshot.runID = Uuid::random();
  snapshot.logPath = "/logs/launch-x.jsonl";
  for (const auto& health :
       {VLESSRuntimeHealth::available("203.0.113.7", 10.5), VLESSRuntimeHealth::unavailable(11),
        VLESSRuntimeHealth::recoveryRequired(12)}) {
    snapshot.vlessHealth = health;
    EXPECT_EQ(nlohmann::json(snapshot).get<ProcessSnapshot>(), snapshot)
        << nlohmann::json(snapshot);
  }
  const std::vector<nlohmann::json> refused = {
      nlohmann::json::object(),
      {{"available", {{"checkedAt", 1}}}},
      {{"unavailable", {{"checkedAt", 1}, {"externalIP", "203.0.113.7"}}}},
      {{"unavailable", {{"checkedAt", 1}}}, {"recoveryRequired", {{"checkedAt", 1}}}},
      {{"degraded", {{"checkedAt", 1}}}},
  };
  for (const auto& health : refused) {
    nlohmann::json json = snapshot;
    json["vlessHealth"] = health;
    EXPECT_ANY_THROW(json.get<ProcessSnapshot>()) << health;
  }
}

}  // namespace
}  // namespace korvelin
