#include "core/host/HostedUsage.h"

#include <nlohmann/json.hpp>

#include "core/base/EnumNames.h"
#include "core/text/UnicodeText.h"

namespace korvelin {
namespace {

constexpr EnumNames<HostedUsage::State, 4> kStateNames{{
    {HostedUsage::State::starting, "starting"},
    {HostedUsage::State::available, "available"},
    {HostedUsage::State::unavailable, "unavailable"},
    {HostedUsage::State::disconnected, "disconnected"},
}};

}  // namespace

std::string_view rawValue(HostedUsage::State state) {
  return kStateNames.name(state);
}

void to_json(nlohmann::json& json, const HostedUsage& usage) {
  json = {{"state", rawValue(usage.state)}};
  if (usage.reason)
    json["reason"] = rawValue(*usage.reason);
  auto windows = nlohmann::json::array();
  if (const auto& snapshot = usage.snapshot) {
    json["observedAt"] = snapshot->observedAt;
    if (const auto percent = snapshot->canonicalRemainingPercent())
      json["remainingPercent"] = *percent;
    for (const auto& bucket : snapshot->buckets)
      for (const auto* window : {&bucket.primary, &bucket.secondary}) {
        if (!*window || windows.size() == kMaxHostedUsageWindows)
          continue;
        nlohmann::json shown = {
            {"bucket", unicode::prefixCharacters(bucket.id, kMaxHostedUsageNameCharacters)},
            {"window", window == &bucket.primary ? "primary" : "secondary"},
            {"remainingPercent", (*window)->remainingPercent()}};
        if ((*window)->windowDurationMinutes)
          shown["windowDurationMins"] = *(*window)->windowDurationMinutes;
        if ((*window)->resetsAt)
          shown["resetsAt"] = *(*window)->resetsAt;
        windows.push_back(std::move(shown));
      }
  }
  json["windows"] = std::move(windows);
}

}  // namespace korvelin
