#pragma once

// What a Codex account's rate limits look like, read from the Codex
// app-server's JSON-RPC lines, and how the usage of several profiles is
// shortened into the text of the menu bar. Values only: nothing here does
// I/O.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"
#include "core/profile/AppProfile.h"

namespace korvelin {

// Dates of usage values are seconds since 1970. A snapshot's `observedAt` is
// the clock's reading when its message arrived; a window's reset time is the
// whole number of seconds the app-server sent.
using CodexUsageDate = double;

struct CodexUsageWindow {
  std::int64_t usedPercent = 0;                       // 0...100
  std::optional<std::int64_t> windowDurationMinutes;  // at least 1 when present
  std::optional<std::int64_t> resetsAt;               // seconds since 1970

  // Absent unless `usedPercent` is within 0...100 and a duration, when
  // given, is at least 1.
  static std::optional<CodexUsageWindow> make(std::int64_t usedPercent,
                                              std::optional<std::int64_t> windowDurationMinutes,
                                              std::optional<std::int64_t> resetsAt);

  std::int64_t remainingPercent() const { return 100 - usedPercent; }

  bool operator==(const CodexUsageWindow&) const = default;
};

struct CodexRateLimitBucket {
  std::string id;                   // never empty
  std::optional<std::string> name;  // never empty when present
  std::optional<CodexUsageWindow> primary;
  std::optional<CodexUsageWindow> secondary;

  bool operator==(const CodexRateLimitBucket&) const = default;
};

struct CodexThreadContextUsage {
  std::int64_t totalTokens = 0;                    // at least 0
  std::optional<std::int64_t> modelContextWindow;  // at least 1 when present

  static std::optional<CodexThreadContextUsage> make(
      std::int64_t totalTokens,
      std::optional<std::int64_t> modelContextWindow);

  bool operator==(const CodexThreadContextUsage&) const = default;
};

struct CodexUsageSnapshot {
  std::optional<std::string> accountIdentifier;  // never empty when present
  std::vector<CodexRateLimitBucket> buckets;     // ascending by id
  std::optional<CodexThreadContextUsage> threadContext;
  CodexUsageDate observedAt = 0;

  // Turns an empty account identifier into none and sorts the buckets.
  CodexUsageSnapshot(std::optional<std::string> accountIdentifier,
                     std::vector<CodexRateLimitBucket> buckets,
                     std::optional<CodexThreadContextUsage> threadContext,
                     CodexUsageDate observedAt);

  // The remaining percentage of the primary window of the "codex" bucket,
  // or of the first bucket when there is no "codex" one; absent without a
  // bucket or without that bucket's primary window.
  std::optional<std::int64_t> canonicalRemainingPercent() const;

  bool operator==(const CodexUsageSnapshot&) const = default;
};

enum class CodexUsageUnavailableReason {
  authenticationRequired,
  unsupportedProtocol,
  invalidResponse,
  connectionFailed,
  routeUnverified
};

std::string_view rawValue(CodexUsageUnavailableReason reason);
std::optional<CodexUsageUnavailableReason> codexUsageUnavailableReasonFromRawValue(
    std::string_view text);

// What the menu knows of one profile's usage: a fresh snapshot, one kept
// from before the monitor lost its connection, or a reason for none.
struct CodexProfileUsageAvailability {
  enum class Kind { available, stale, unavailable };

  static CodexProfileUsageAvailability available(CodexUsageSnapshot snapshot);
  static CodexProfileUsageAvailability stale(CodexUsageSnapshot snapshot);
  static CodexProfileUsageAvailability unavailable(CodexUsageUnavailableReason reason);

  // The snapshot of an available or stale usage; null for an unavailable one.
  const CodexUsageSnapshot* snapshot() const { return std::get_if<CodexUsageSnapshot>(&value); }

  bool operator==(const CodexProfileUsageAvailability&) const = default;

  Kind kind = Kind::unavailable;
  std::variant<CodexUsageUnavailableReason, CodexUsageSnapshot> value =
      CodexUsageUnavailableReason::connectionFailed;
};

struct ProfileMenuUsage {
  Uuid id;
  std::string fullName;
  ProfileColorToken color = ProfileColorToken::violet;
  CodexProfileUsageAvailability availability;

  std::optional<std::int64_t> remainingPercent() const;

  bool operator==(const ProfileMenuUsage&) const = default;
};

enum class MenuBarProfileNameMode { full, oneCharacter, twoCharacters };

std::string_view rawValue(MenuBarProfileNameMode mode);
std::optional<MenuBarProfileNameMode> menuBarProfileNameModeFromRawValue(std::string_view text);
// "Full", "1 character", "2 characters": catalogue keys.
std::string_view title(MenuBarProfileNameMode mode);

// The name as the bar shows it, counted in user-perceived characters:
// leading white space dropped ("?" when nothing is left); in `full` mode at
// most 20 characters (a longer name keeps 19 and gains "…"); otherwise the
// first one or two characters.
std::string displayName(MenuBarProfileNameMode mode, std::string_view name);

// A window's length as people name it: "5h", "7d", "90m"; "?" when unknown.
std::string windowDurationText(const std::optional<std::int64_t>& minutes);

struct CompactMenuEntry {
  Uuid id;
  std::string text;  // display name, a space, "NN%" or "—"
  std::string fullName;
  ProfileColorToken color = ProfileColorToken::violet;
  std::string accessibilityLabel;

  bool operator==(const CompactMenuEntry&) const = default;
};

// The " · " separator between entries and the "+N" of hidden profiles.
inline constexpr std::string_view kCompactMenuSeparator = " \u00B7 ";

struct CompactMenuPresentation {
  std::vector<CompactMenuEntry> entries;
  std::size_t hiddenCount = 0;

  // Fits the profiles, in their order, into at most `maximumEntries`
  // entries whose texts joined by the separator (and followed by the
  // separator and "+N" when some are hidden) take at most
  // `maximumCharacters` user-perceived characters. Acceptance stops at the
  // first profile that does not fit.
  CompactMenuPresentation(const std::vector<ProfileMenuUsage>& profiles,
                          MenuBarProfileNameMode mode,
                          std::int64_t maximumEntries,
                          std::int64_t maximumCharacters);

  // The entries joined by the separator, then the separator and "+N" when
  // profiles are hidden ("+N" alone when none fitted).
  std::string text() const;

  bool operator==(const CompactMenuPresentation&) const = default;
};

// Profiles whose snapshot shares its account identifier with at least one
// other profile's.
std::set<Uuid> sharedAccountProfileIDs(const std::vector<ProfileMenuUsage>& profiles);

// Reads the app-server's messages. Every failure is
// `codexUsageProtocolFailed` with a fixed detail ("invalid JSON-RPC
// message", "rate limits are unavailable", ...).
struct CodexUsageMessageParser {
  // The longest message line accepted.
  static constexpr std::size_t kMaximumLineBytes = 1 << 20;

  // A snapshot from the answer to "account/rateLimits/read".
  static CodexUsageSnapshot parseRateLimitsResponse(std::string_view line,
                                                    CodexUsageDate observedAt);
  // `current` updated by an "account/rateLimits/updated" or
  // "thread/tokenUsage/updated" notification (any other method leaves it as
  // it is).
  static CodexUsageSnapshot mergeNotification(std::string_view line,
                                              const CodexUsageSnapshot& current,
                                              CodexUsageDate observedAt);
};

// The app-server's rule for numbers that stand for integers: a JSON number,
// not a boolean, whose value is exactly a signed 64-bit integer (2.0 is 2;
// 2.5, 1e19, true and "2" are not). Absent for anything else, or no value.
std::optional<std::int64_t> jsonInteger(const nlohmann::json* value);

// JSON forms for machines: windows {"usedPercent", "remainingPercent",
// "windowDurationMins"?, "resetsAt"?}, buckets {"id", "name"?, "primary"?,
// "secondary"?}, snapshots {"accountId"?, "buckets", "threadContext"?,
// "observedAt", "remainingPercent"?}.
void to_json(nlohmann::json& json, const CodexUsageWindow& window);
void to_json(nlohmann::json& json, const CodexRateLimitBucket& bucket);
void to_json(nlohmann::json& json, const CodexUsageSnapshot& snapshot);

}  // namespace korvelin
