#pragma once

// A profile's history, rebuilt on demand from what its "logs" directory
// holds: the launch logs and recovery evidence of its runs and its activity
// journal. Those files live where the user can write, so every one is read
// defensively and the reader never fails: what it cannot use is skipped and
// counted.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/Uuid.h"

namespace korvelin {

enum class ProfileHistoryKind { launch, stop, recovery, proxy, error, usage };
std::string_view rawValue(ProfileHistoryKind kind);

struct ProfileHistoryEvent {
  std::string id;  // "<PROFILE-UUID>:<file name>:<line index>"
  Uuid profileID;
  ProfileHistoryKind kind = ProfileHistoryKind::launch;
  double occurredAt = 0;  // seconds since 1970
  std::string summary;    // English catalogue text
  std::optional<Uuid> runID;
  bool operator==(const ProfileHistoryEvent&) const = default;
};

struct ProfileHistorySnapshot {
  std::vector<ProfileHistoryEvent> events;  // newest first; equal times by id
  // Lines that gave no event, and files that were skipped (unsafe, oversized).
  std::size_t ignoredEntryCount = 0;
  bool operator==(const ProfileHistorySnapshot&) const = default;
};

struct ProfileActivityReader {
  std::size_t maximumFiles = 256;  // per profile
  std::size_t maximumEvents = 1000;
  std::size_t maximumFileBytes = 8 << 20;

  ProfileHistorySnapshot read(std::vector<Uuid> profileIDs, const std::string& baseDirectory) const;

  // The event of one line of `fileName`, or absent.
  static std::optional<ProfileHistoryEvent> parseLine(const Uuid& profileID,
                                                      std::string_view fileName,
                                                      std::size_t index,
                                                      std::string_view line);
};

}  // namespace korvelin
