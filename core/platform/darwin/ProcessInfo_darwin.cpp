#if defined(__APPLE__)

#include "core/platform/ProcessInfo.h"

#include <libproc.h>
#include <sys/proc_info.h>
#include <sys/sysctl.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"

namespace korvelin::platform {

namespace {
constexpr size_t kMaxArgumentBytes = 2 * 1024 * 1024;
constexpr std::uint32_t kMaxArgumentCount = 65536;
constexpr std::uint32_t kZombieStatus = 5;  // SZOMB
}  // namespace

std::optional<ProcessRecord> processRecord(std::int32_t pid) {
  proc_bsdinfo info{};
  static_assert(sizeof info == 136);
  if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) != int(sizeof info))
    return std::nullopt;
  ProcessRecord record;
  record.group = info.pbi_pgid;
  record.uid = info.pbi_uid;
  record.startSeconds = info.pbi_start_tvsec;
  record.startMicroseconds = info.pbi_start_tvusec;
  record.zombie = info.pbi_status == kZombieStatus;
  record.startDate =
      static_cast<double>(info.pbi_start_tvsec) + static_cast<double>(info.pbi_start_tvusec) / 1e6;
  return record;
}

std::optional<std::string> executablePath(std::int32_t pid) {
  char buffer[4096];
  int n = proc_pidpath(pid, buffer, sizeof buffer);
  if (n < 1)
    return std::nullopt;
  return std::string(buffer, ::strnlen(buffer, static_cast<size_t>(n)));
}

int openExecutable(std::int32_t pid) {
  const auto path = executablePath(pid);
  if (!path) {
    errno = ESRCH;
    return -1;
  }
  return retryOnEintr([&] { return ::open(path->c_str(), O_RDONLY | O_CLOEXEC); });
}

std::optional<std::string> bootSessionText() {
  char buffer[64];
  size_t size = sizeof buffer;
  if (sysctlbyname("kern.bootsessionuuid", buffer, &size, nullptr, 0) != 0)
    return std::nullopt;
  return std::string(buffer, ::strnlen(buffer, size));
}

std::optional<std::vector<std::string>> rawArguments(std::int32_t pid) {
  int mib[3] = {CTL_KERN, KERN_PROCARGS2, pid};
  size_t size = 0;
  if (sysctl(mib, 3, nullptr, &size, nullptr, 0) != 0)
    return std::nullopt;
  if (size < 5 || size > kMaxArgumentBytes)
    return std::nullopt;
  std::string buffer(size, '\0');
  if (sysctl(mib, 3, buffer.data(), &size, nullptr, 0) != 0 || size < 5)
    return std::nullopt;
  buffer.resize(size);

  std::uint32_t count;
  std::memcpy(&count, buffer.data(), 4);
  if (count < 1 || count > kMaxArgumentCount)
    return std::nullopt;
  size_t at = 4;
  while (at < size && buffer[at] != '\0')
    ++at;  // the executable path
  while (at < size && buffer[at] == '\0')
    ++at;  // its padding
  std::vector<std::string> arguments;
  for (std::uint32_t i = 0; i < count; ++i) {
    size_t end = buffer.find('\0', at);
    if (end == std::string::npos)
      return std::nullopt;
    arguments.push_back(buffer.substr(at, end - at));
    at = end + 1;
  }
  return arguments;
}

std::optional<std::vector<std::int32_t>> groupMembers(std::int32_t processGroupID) {
  int count = proc_listpgrppids(processGroupID, nullptr, 0);
  if (count < 0)
    return std::nullopt;
  size_t capacity = static_cast<size_t>(count) + 16;
  for (int attempt = 0; attempt < 3; ++attempt, capacity *= 2) {
    std::vector<pid_t> pids(capacity);
    int returned =
        proc_listpgrppids(processGroupID, pids.data(), static_cast<int>(capacity * sizeof(pid_t)));
    if (returned < 0)
      return std::nullopt;
    if (static_cast<size_t>(returned) >= capacity)
      continue;
    std::vector<std::int32_t> members;
    for (int i = 0; i < returned; ++i)
      if (pids[static_cast<size_t>(i)] >= 1)
        members.push_back(pids[static_cast<size_t>(i)]);
    return members;
  }
  errno = EOVERFLOW;  // the group kept growing faster than the buffer
  return std::nullopt;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
