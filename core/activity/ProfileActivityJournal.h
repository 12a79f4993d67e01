#pragma once

// The per-profile activity journal "activity.jsonl" in the profile's "logs"
// directory: one JSON line per proxy-related event (a connection became
// available or unavailable, a profile was stopped or kept open without its
// proxy) and per reset of a Codex usage limit the host noticed. The host appends; the history view
// and the command line read it back. Appends from threads and processes are serialized by an
// exclusive flock on the file, so lines never interleave.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/Uuid.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

enum class ProfileActivityKind {
  proxyConnectionAvailable,
  proxyConnectionUnavailable,
  proxyDisconnected,
  proxyUnavailableWhileRunning,
  codexUsageReset,  // the detail names the window and what remains
};

inline constexpr std::array<ProfileActivityKind, 5> kAllProfileActivityKinds = {
    ProfileActivityKind::proxyConnectionAvailable, ProfileActivityKind::proxyConnectionUnavailable,
    ProfileActivityKind::proxyDisconnected, ProfileActivityKind::proxyUnavailableWhileRunning,
    ProfileActivityKind::codexUsageReset};

std::string_view rawValue(ProfileActivityKind kind);
std::optional<ProfileActivityKind> profileActivityKindFromRawValue(std::string_view text);

// A moment as the journal stores it: seconds since 2001-01-01T00:00:00Z.
// Launch logs and leases count from 1970 instead; the conversions keep the
// two from being mixed up.
struct ReferenceDate {
  // 2001-01-01T00:00:00Z in seconds since 1970.
  static constexpr double kUnixTimeOfReferenceDate = 978307200;

  double secondsSinceReferenceDate = 0;

  static ReferenceDate now();
  static ReferenceDate fromUnixTime(double secondsSince1970) {
    return {secondsSince1970 - kUnixTimeOfReferenceDate};
  }
  double unixTime() const { return secondsSinceReferenceDate + kUnixTimeOfReferenceDate; }

  auto operator<=>(const ReferenceDate&) const = default;
};

struct ProfileActivityEvent {
  Uuid id = Uuid::random();
  Uuid profileID;
  ProfileActivityKind kind = ProfileActivityKind::proxyConnectionAvailable;
  ReferenceDate occurredAt = ReferenceDate::now();
  std::optional<std::string> proxyName;  // the proxy connection concerned
  std::string detail;

  bool operator==(const ProfileActivityEvent&) const = default;
};

// Longest journal line the readers accept, line feed excluded.
inline constexpr std::size_t kMaximumActivityLineBytes = 65536;

// One journal line without its line feed: the fields in declaration order
// (not sorted), UUIDs in upper case, the date as seconds since 2001,
// "proxyName" only when present. Text that is not UTF-8 is written with
// U+FFFD in place of invalid bytes; `append` refuses such events instead.
std::string activityEventJSON(const ProfileActivityEvent& event);

// The event of one journal line, or absent: longer than
// kMaximumActivityLineBytes, not UTF-8, not a JSON object with exactly the
// event's keys ("proxyName" may be missing or null), a UUID, kind or date
// that does not decode, or a date that is not finite.
std::optional<ProfileActivityEvent> parseProfileActivityEvent(std::string_view line);

struct ProfileActivityJournal {
  static constexpr std::string_view kFileName = "activity.jsonl";

  // Appends one line durably (written whole, then fsync) under an exclusive
  // flock. An event of another profile is `profileIdentifierMismatch`, before
  // any file is touched. Errors opening the profile's root or "logs"
  // propagate; everything about the journal file itself is
  // `logCreationFailed`: "activity.jsonl" must be a regular file of the
  // effective user with mode exactly 0600 and no extended ACL entry
  // ("unsafe activity journal" otherwise, and nothing is written). A missing
  // file is created 0600.
  void append(const ProfileActivityEvent& event, const ProfilePaths& paths) const;

  bool operator==(const ProfileActivityJournal&) const = default;
};

struct ProfileActivityJournalContents {
  std::vector<ProfileActivityEvent> events;  // in file order, oldest first
  std::size_t ignoredLineCount = 0;          // lines that gave no event of this profile

  bool operator==(const ProfileActivityJournalContents&) const = default;
};

// Reads a profile's journal back, checked like `append` checks it but with
// `unsafeProfilePath` errors. Only the last `maximumBytes` bytes are read;
// a line cut at the start of that window counts as ignored. A missing
// journal reads as empty; a missing profile tree is an error.
ProfileActivityJournalContents readProfileActivityJournal(const ProfilePaths& paths,
                                                          std::size_t maximumBytes);

}  // namespace korvelin
