#pragma once

// Finds the moment a rate-limit window of a Codex account resets, once per
// account however many profiles are signed into it: one profile is elected
// to report for each account, bucket and window, and only its own two
// consecutive snapshots are compared.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "core/base/Uuid.h"
#include "core/codex/CodexUsage.h"

namespace korvelin {

struct CodexUsageResetWindow {
  std::optional<std::int64_t> durationMinutes;
  std::int64_t remainingPercent = 0;

  bool operator==(const CodexUsageResetWindow&) const = default;
};

class CodexUsageResetDetector {
 public:
  // The windows that reset between the profile's previous snapshot and this
  // one: those whose used percentage fell and is now below 5, reported only
  // by the profile elected for them. A snapshot not later than the
  // profile's previous one (or at no finite time) changes nothing.
  std::vector<CodexUsageResetWindow> observe(const CodexUsageSnapshot& snapshot,
                                             const Uuid& profileID);

  // Forgets the profile's previous snapshot, so that its next one only
  // becomes the new baseline.
  void invalidate(const Uuid& profileID);
  // The same for every profile; elections stay.
  void invalidateBaselines();
  // Forgets every profile not in `profileIDs`, and the elections of
  // profiles forgotten or no longer on the account they were elected for.
  void retainProfiles(const std::set<Uuid>& profileIDs);

 private:
  // The account a snapshot belongs to, or the profile itself when the
  // snapshot names no account.
  using Owner = std::variant<std::string, Uuid>;
  struct Key {
    Owner owner;
    std::string bucket;
    bool secondary = false;
    std::optional<std::int64_t> duration;
    auto operator<=>(const Key&) const = default;
  };

  void dropElectionsOfMovedProfiles();

  std::map<Uuid, CodexUsageSnapshot> baselines_;
  std::map<Uuid, Owner> owners_;
  std::map<Key, Uuid> reporters_;
};

}  // namespace korvelin
