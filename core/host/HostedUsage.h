#pragma once

// What the host's usage monitor of a running Codex profile last learned, as
// `ps` shows it.

#include <cstddef>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/codex/CodexUsage.h"

namespace korvelin {

struct HostedUsage {
  enum class State {
    starting,      // no answer yet
    available,     // `snapshot` is the latest answer
    unavailable,   // `reason` says why; no snapshot
    disconnected,  // the app-server went away; `snapshot` (if any) is the last one seen
  };

  State state = State::starting;
  std::optional<CodexUsageSnapshot> snapshot;
  std::optional<CodexUsageUnavailableReason> reason;

  bool operator==(const HostedUsage&) const = default;
};

std::string_view rawValue(HostedUsage::State state);

// At most this many windows are shown per profile, each bucket name cut to
// kMaxHostedUsageNameCharacters, so that `ps` stays within the reply limit
// whatever the app-server sent.
inline constexpr std::size_t kMaxHostedUsageWindows = 8;
inline constexpr std::size_t kMaxHostedUsageNameCharacters = 40;

// {"state", "reason"?, "remainingPercent"?, "observedAt"?, "windows": [{"bucket",
// "window": "primary" | "secondary", "windowDurationMins"?, "remainingPercent",
// "resetsAt"?}]}.
void to_json(nlohmann::json& json, const HostedUsage& usage);

}  // namespace korvelin
