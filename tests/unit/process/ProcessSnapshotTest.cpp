#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/process/ProcessSnapshot.h"

namespace korvelin {
namespace {

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
