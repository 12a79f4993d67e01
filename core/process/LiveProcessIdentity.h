#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace korvelin {

// One incarnation of one process of the current user: the identifier pinned to
// its start time, group, user, executable and boot session. Whoever records a
// process captures this and asks `isCurrent` before trusting it again.
struct LiveProcessIdentity {
  std::int32_t pid = 0;
  std::int32_t group = 0;
  std::uint32_t uid = 0;
  std::uint64_t startSeconds = 0;
  std::uint64_t startMicroseconds = 0;
  std::string executable;
  std::string bootSessionID;

  // The identity of a live, non-zombie process of the effective user, or
  // absent. Pids below 2 are never captured.
  static std::optional<LiveProcessIdentity> capture(std::int32_t pid);

  // A fresh capture of `pid` equals this identity in every field.
  bool isCurrent() const;

  // True only when the process is gone and its process group has no members
  // left; every uncertain answer is false.
  bool sessionHasEnded() const;

  bool operator==(const LiveProcessIdentity&) const = default;
};

// True when no process has this pid any more, or only its exit status is
// left (a zombie waiting for a parent to collect it: it runs nothing, and an
// orphan may wait long for a reaper). Any doubt answers false.
bool processHasExited(std::int32_t pid);

// The argument vector of a running process (the first element is the name it
// was launched under), or absent when unreadable, not UTF-8, larger than
// 2 MiB, or with a count outside 1...65536.
std::optional<std::vector<std::string>> liveArguments(std::int32_t pid);

// JSON object keyed by the field names. Decoding requires exactly the seven
// keys with values in range and validates nothing else: a decoded identity is
// trusted only after `isCurrent`.
void to_json(nlohmann::json& json, const LiveProcessIdentity& identity);
void from_json(const nlohmann::json& json, LiveProcessIdentity& identity);

}  // namespace korvelin
