#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/process/ProcessSupervisor.h"

namespace korvelin {
namespace {

ProcessSnapshot minimalSnapshot() {
  ProcessSnapshot snapshot;
  snapshot.profileID = Uuid::random();
  snapshot.runID = Uuid::random();
  snapshot.rootPID = snapshot.processGroupID = 4242;
  snapshot.startedAt = 1'700'000'000.25;
  snapshot.logURL = "/base/Profiles/x/logs/launch-x.jsonl";
  return snapshot;
}

TEST(ProcessSnapshotTest, RoundTripsWithWhatOtherComponentsFillIn) {
  std::vector<ProcessSnapshot> snapshots(5, minimalSnapshot());
  snapshots[1].vlessHealth = VLESSRuntimeHealth::available("203.0.113.7", 10.5);
  snapshots[2].vlessHealth = VLESSRuntimeHealth::unavailable(11);
  snapshots[3].vlessHealth = VLESSRuntimeHealth::recoveryRequired(12);
  snapshots[4].continuityWarning = "warning";
  snapshots[4].exitCode = 3;
  snapshots[4].vlessHealth = snapshots[1].vlessHealth;
  snapshots[4].rootIdentity = LiveProcessIdentity{4242, 4242, 1000, 1, 2, "/bin/x", "boot"};
  for (const auto& snapshot : snapshots) {
    const nlohmann::json json = snapshot;
    EXPECT_EQ(json.contains("vlessHealth"), snapshot.vlessHealth.has_value()) << json;
    EXPECT_EQ(json.get<ProcessSnapshot>(), snapshot) << json;
  }
}

TEST(ProcessSnapshotTest, RefusesHealthOfAnotherShape) {
  const std::vector<nlohmann::json> refused = {
      nlohmann::json::object(),
      {{"available", {{"checkedAt", 1}}}},
      {{"unavailable", {{"checkedAt", 1}, {"externalIP", "203.0.113.7"}}}},
      {{"unavailable", {{"checkedAt", 1}}}, {"recoveryRequired", {{"checkedAt", 1}}}},
      {{"degraded", {{"checkedAt", 1}}}},
      {{"recoveryRequired", {{"checkedAt", "soon"}}}},
  };
  for (const auto& health : refused) {
    nlohmann::json json = minimalSnapshot();
    json["vlessHealth"] = health;
    EXPECT_ANY_THROW(json.get<ProcessSnapshot>()) << health;
  }
}

}  // namespace
}  // namespace korvelin
