#include "core/codex/CodexUsageReset.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace korvelin {

namespace {

// Below this used percentage a window counts as freshly reset.
constexpr std::int64_t kResetUsedPercent = 5;

const CodexUsageWindow* windowOf(const CodexRateLimitBucket& bucket, bool secondary) {
  const auto& window = secondary ? bucket.secondary : bucket.primary;
  return window ? &*window : nullptr;
}

// The same window in the previous snapshot of the same account.
const CodexUsageWindow* previousWindow(const CodexUsageSnapshot* previous,
                                       const CodexUsageSnapshot& snapshot,
                                       const std::string& bucketID,
                                       bool secondary,
                                       const std::optional<std::int64_t>& duration) {
  if (!previous || previous->accountIdentifier != snapshot.accountIdentifier)
    return nullptr;
  const auto bucket =
      std::find_if(previous->buckets.begin(), previous->buckets.end(),
                   [&](const CodexRateLimitBucket& candidate) { return candidate.id == bucketID; });
  if (bucket == previous->buckets.end())
    return nullptr;
  const CodexUsageWindow* window = windowOf(*bucket, secondary);
  return window && window->windowDurationMinutes == duration ? window : nullptr;
}

}  // namespace

std::vector<CodexUsageResetWindow> CodexUsageResetDetector::observe(
    const CodexUsageSnapshot& snapshot,
    const Uuid& profileID) {
  if (!std::isfinite(snapshot.observedAt))
    return {};
  std::optional<CodexUsageSnapshot> previous;
  if (auto found = baselines_.find(profileID); found != baselines_.end()) {
    if (!(snapshot.observedAt > found->second.observedAt))
      return {};
    previous = found->second;
  }
  const Owner owner =
      snapshot.accountIdentifier ? Owner(*snapshot.accountIdentifier) : Owner(profileID);
  owners_[profileID] = owner;
  baselines_.insert_or_assign(profileID, snapshot);
  dropElectionsOfMovedProfiles();

  std::vector<CodexUsageResetWindow> resets;
  for (const auto& bucket : snapshot.buckets) {
    for (const bool secondary : {false, true}) {
      const CodexUsageWindow* window = windowOf(bucket, secondary);
      if (!window)
        continue;
      const Key key{owner, bucket.id, secondary, window->windowDurationMinutes};
      const auto [elected, isNew] = reporters_.try_emplace(key, profileID);
      if (isNew || elected->second != profileID)
        continue;
      const CodexUsageWindow* before =
          previousWindow(previous ? &*previous : nullptr, snapshot, bucket.id, secondary,
                         window->windowDurationMinutes);
      if (before && before->usedPercent > window->usedPercent &&
          window->usedPercent < kResetUsedPercent)
        resets.push_back({window->windowDurationMinutes, window->remainingPercent()});
    }
  }
  return resets;
}

void CodexUsageResetDetector::invalidate(const Uuid& profileID) {
  baselines_.erase(profileID);
}

void CodexUsageResetDetector::invalidateBaselines() {
  baselines_.clear();
}

void CodexUsageResetDetector::retainProfiles(const std::set<Uuid>& profileIDs) {
  std::erase_if(baselines_, [&](const auto& entry) { return !profileIDs.contains(entry.first); });
  std::erase_if(owners_, [&](const auto& entry) { return !profileIDs.contains(entry.first); });
  dropElectionsOfMovedProfiles();
}

void CodexUsageResetDetector::dropElectionsOfMovedProfiles() {
  std::erase_if(reporters_, [&](const auto& entry) {
    const auto owner = owners_.find(entry.second);
    return owner == owners_.end() || owner->second != entry.first.owner;
  });
}

}  // namespace korvelin
