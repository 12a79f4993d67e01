#include "core/process/LiveProcessIdentity.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "core/base/JsonSupport.h"
#include "core/base/Uuid.h"
#include "core/platform/ProcessInfo.h"
#include "core/text/Utf8.h"

namespace korvelin {

namespace {

constexpr std::uint32_t kMaxArgumentCount = 65536;

// Empty when listing succeeded and found nobody; false on any doubt.
bool groupIsEmpty(std::int32_t group) {
  const auto members = platform::groupMembers(group);
  return members && members->empty();
}

}  // namespace

std::optional<LiveProcessIdentity> LiveProcessIdentity::capture(std::int32_t pid) {
  if (pid < 2)
    return std::nullopt;
  auto record = platform::processRecord(pid);
  if (!record)
    return std::nullopt;
  if (record->uid != ::geteuid() || record->zombie)
    return std::nullopt;
  auto path = platform::executablePath(pid);
  if (!path || path->empty())
    return std::nullopt;
  auto boot = platform::bootSessionText();
  if (!boot || !isValidUtf8(*boot) || !Uuid::parse(*boot))
    return std::nullopt;
  if (record->group < 0 || record->group > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;

  LiveProcessIdentity identity;
  identity.pid = pid;
  identity.group = static_cast<std::int32_t>(record->group);
  identity.uid = record->uid;
  identity.startSeconds = record->startSeconds;
  identity.startMicroseconds = record->startMicroseconds;
  identity.executable = replacingInvalidUtf8(*path);
  identity.bootSessionID = *boot;
  return identity;
}

bool LiveProcessIdentity::isCurrent() const {
  auto fresh = capture(pid);
  return fresh && *fresh == *this;
}

bool LiveProcessIdentity::sessionHasEnded() const {
  // Only "no such process" means gone: a leader that has exited but was not
  // yet collected by its parent still holds its pid and its group, and its
  // parent may be about to act on its exit. The order matters: the leader is
  // checked before and after the group, so a member that appears between
  // the two looks is never missed.
  auto leaderIsGone = [this] {
    errno = 0;
    return ::kill(pid, 0) != 0 && errno == ESRCH;
  };
  if (!leaderIsGone())
    return false;
  if (!groupIsEmpty(group))
    return false;
  if (!leaderIsGone())
    return false;
  return groupIsEmpty(group);
}

bool processHasExited(std::int32_t pid) {
  // kill(pid, 0) says "gone" only with ESRCH; anything else (alive, EPERM,
  // an odd errno) is treated as possibly alive unless the kernel reports a
  // zombie.
  errno = 0;
  if (::kill(pid, 0) != 0)
    return errno == ESRCH;
  auto record = platform::processRecord(pid);
  return record && record->zombie;
}

std::optional<std::vector<std::string>> liveArguments(std::int32_t pid) {
  auto arguments = platform::rawArguments(pid);
  if (!arguments || arguments->empty() || arguments->size() > kMaxArgumentCount)
    return std::nullopt;
  for (const auto& argument : *arguments)
    if (!isValidUtf8(argument))
      return std::nullopt;
  return arguments;
}

void to_json(nlohmann::json& json, const LiveProcessIdentity& identity) {
  json = nlohmann::json{
      {"pid", identity.pid},
      {"group", identity.group},
      {"uid", identity.uid},
      {"startSeconds", identity.startSeconds},
      {"startMicroseconds", identity.startMicroseconds},
      {"executable", identity.executable},
      {"bootSessionID", identity.bootSessionID},
  };
}

void from_json(const nlohmann::json& json, LiveProcessIdentity& identity) {
  using namespace jsonio;
  requireExactKeys(json, {"pid", "group", "uid", "startSeconds", "startMicroseconds", "executable",
                          "bootSessionID"});
  identity.pid = requireInteger<std::int32_t>(json, "pid");
  identity.group = requireInteger<std::int32_t>(json, "group");
  identity.uid = requireInteger<std::uint32_t>(json, "uid");
  identity.startSeconds = requireInteger<std::uint64_t>(json, "startSeconds");
  identity.startMicroseconds = requireInteger<std::uint64_t>(json, "startMicroseconds");
  identity.executable = requireString(json, "executable");
  identity.bootSessionID = requireString(json, "bootSessionID");
}

}  // namespace korvelin
