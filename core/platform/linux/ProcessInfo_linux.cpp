#if defined(__linux__)

#include "core/platform/linux/ProcessInfo_linux.h"
#include "core/platform/ProcessInfo.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"

namespace korvelin::platform {

namespace {

constexpr size_t kMaxArgumentBytes = 2 * 1024 * 1024;

std::string procPath(std::int32_t pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

template <typename T>
bool parseNumber(std::string_view text, T& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// The fields of /proc/<pid>/stat after the command name. The name is in
// parentheses and may itself contain spaces and parentheses, so the fields
// start after the last ')'. fields[0] is the state (field 3 of proc(5)).
std::optional<std::vector<std::string_view>> statFields(std::string_view stat) {
  auto close = stat.rfind(')');
  if (close == std::string_view::npos)
    return std::nullopt;
  std::vector<std::string_view> fields;
  std::string_view rest = stat.substr(close + 1);
  while (!rest.empty()) {
    auto start = rest.find_first_not_of(" \n");
    if (start == std::string_view::npos)
      break;
    rest.remove_prefix(start);
    auto end = rest.find_first_of(" \n");
    fields.push_back(rest.substr(0, end));
    if (end == std::string_view::npos)
      break;
    rest.remove_prefix(end);
  }
  return fields;
}

constexpr size_t kStateField = 0;       // field 3
constexpr size_t kParentField = 1;      // field 4
constexpr size_t kGroupField = 2;       // field 5
constexpr size_t kStartTimeField = 19;  // field 22, clock ticks since boot

// The wall-clock time of the boot, by the clock as it stands now.
double bootWallClockTime() {
  timespec real{}, boot{};
  ::clock_gettime(CLOCK_REALTIME, &real);
  ::clock_gettime(CLOCK_BOOTTIME, &boot);
  return static_cast<double>(real.tv_sec - boot.tv_sec) +
         static_cast<double>(real.tv_nsec - boot.tv_nsec) / 1e9;
}

std::optional<std::uint32_t> effectiveUid(std::string_view text) {
  auto at = text.find("\nUid:");
  if (at == std::string_view::npos)
    return std::nullopt;
  text.remove_prefix(at + 5);
  text = text.substr(0, text.find('\n'));
  // Real, effective, saved, file-system; the second is the effective one.
  std::uint32_t ids[2];
  for (auto& id : ids) {
    auto start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos)
      return std::nullopt;
    text.remove_prefix(start);
    auto end = text.find_first_of(" \t");
    if (!parseNumber(text.substr(0, end), id))
      return std::nullopt;
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  return ids[1];
}

}  // namespace

std::optional<ProcessRecord> recordFromProc(std::string_view stat,
                                            std::string_view status,
                                            long ticksPerSecond,
                                            double bootTime) {
  auto fields = statFields(stat);
  if (!fields || fields->size() <= kStartTimeField || ticksPerSecond <= 0)
    return std::nullopt;

  ProcessRecord record;
  const auto state = (*fields)[kStateField];
  record.zombie = state == "Z" || state == "X";
  std::uint64_t ticks;
  if (!parseNumber((*fields)[kGroupField], record.group) ||
      !parseNumber((*fields)[kStartTimeField], ticks))
    return std::nullopt;
  auto uid = effectiveUid(status);
  if (!uid)
    return std::nullopt;
  record.uid = *uid;
  // The kernel counts the start from the boot and never changes it. The
  // boot's own wall-clock time moves with every step of the clock, so adding
  // it would give readers at different times different starts for the same
  // process; the start stays counted from the boot, which the boot session
  // identifier names, and only the date shown to people uses the clock.
  const auto perSecond = static_cast<std::uint64_t>(ticksPerSecond);
  record.startSeconds = ticks / perSecond;
  record.startMicroseconds = (ticks % perSecond) * 1'000'000 / perSecond;
  record.startDate = bootTime + static_cast<double>(record.startSeconds) +
                     static_cast<double>(record.startMicroseconds) / 1e6;
  return record;
}

std::optional<ProcessRecord> processRecord(std::int32_t pid) {
  auto stat = readSmallFile(procPath(pid, "stat"), 64 * 1024);
  if (!stat)
    return std::nullopt;
  auto status = readSmallFile(procPath(pid, "status"), 64 * 1024);
  if (!status)
    return std::nullopt;
  return recordFromProc(*stat, *status, ::sysconf(_SC_CLK_TCK), bootWallClockTime());
}

std::optional<std::string> executablePath(std::int32_t pid) {
  std::string buffer(4096, '\0');
  const auto link = procPath(pid, "exe");
  ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
  if (n < 1 || static_cast<size_t>(n) >= buffer.size())
    return std::nullopt;
  buffer.resize(static_cast<size_t>(n));
  // The kernel marks an executable whose file was unlinked.
  constexpr std::string_view kDeleted = " (deleted)";
  if (buffer.size() > kDeleted.size() && buffer.ends_with(kDeleted))
    buffer.resize(buffer.size() - kDeleted.size());
  return buffer;
}

int openExecutable(std::int32_t pid) {
  const auto link = procPath(pid, "exe");
  return retryOnEintr([&] { return ::open(link.c_str(), O_RDONLY | O_CLOEXEC); });
}

std::optional<std::string> bootSessionText() {
  // One boot session per boot: read it once for the life of this process.
  static const std::optional<std::string> text = []() -> std::optional<std::string> {
    auto content = readSmallFile("/proc/sys/kernel/random/boot_id", 64);
    if (!content)
      return std::nullopt;
    while (!content->empty() && content->back() == '\n')
      content->pop_back();
    return content;
  }();
  return text;
}

std::optional<std::vector<std::string>> rawArguments(std::int32_t pid) {
  auto content = readSmallFile(procPath(pid, "cmdline"), kMaxArgumentBytes);
  if (!content || content->empty())
    return std::nullopt;
  std::vector<std::string> arguments;
  std::string_view rest = *content;
  while (!rest.empty()) {
    auto end = rest.find('\0');
    arguments.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos)
      break;
    rest.remove_prefix(end + 1);
  }
  return arguments;
}

namespace {

// Calls `visit(pid, fields)` for every process /proc lists whose stat can be
// read; a process that exits mid-scan is skipped. False when /proc cannot be
// read to its end.
template <typename Visit>
bool scanProcessTable(Visit&& visit) {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
  if (!proc)
    return false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(proc.get());
    if (!entry)
      return errno == 0;
    std::int32_t pid;
    if (!parseNumber(std::string_view(entry->d_name), pid) || pid < 1)
      continue;
    auto stat = readSmallFile(procPath(pid, "stat"), 64 * 1024);
    if (!stat)
      continue;
    auto fields = statFields(*stat);
    if (!fields || fields->size() <= kGroupField)
      continue;
    if (!visit(pid, *fields))
      return true;
  }
}

}  // namespace

std::optional<std::vector<std::pair<std::int32_t, std::int32_t>>> processParents(
    std::size_t limit) {
  std::vector<std::pair<std::int32_t, std::int32_t>> parents;
  bool overLimit = false;
  const bool complete =
      scanProcessTable([&](std::int32_t pid, const std::vector<std::string_view>& fields) {
        std::int32_t parent;
        if (!parseNumber(fields[kParentField], parent))
          return true;
        if (parents.size() == limit) {
          overLimit = true;
          return false;
        }
        parents.emplace_back(pid, parent);
        return true;
      });
  if (!complete || overLimit)
    return std::nullopt;
  return parents;
}

std::optional<std::vector<std::int32_t>> groupMembers(std::int32_t processGroupID) {
  // A scan of /proc has no fixed-size buffer, so unlike the macOS listing it
  // can never come back truncated; a process that exits mid-scan is skipped.
  // Zombies are left out unless they are this process's own unreaped
  // children: an orphaned zombie runs nothing and may wait forever for a
  // reaper that never comes (a container's init need not reap), while our own
  // children stay listed until we collect their status, as on macOS.
  const std::int64_t self = ::getpid();
  std::vector<std::int32_t> members;
  const bool complete =
      scanProcessTable([&](std::int32_t pid, const std::vector<std::string_view>& fields) {
        std::int64_t group, parent;
        if (!parseNumber(fields[kGroupField], group) || !parseNumber(fields[kParentField], parent))
          return true;
        if (group != processGroupID)
          return true;
        const auto state = fields[kStateField];
        if ((state == "Z" || state == "X") && parent != self)
          return true;
        members.push_back(pid);
        return true;
      });
  if (!complete)
    return std::nullopt;
  return members;
}

}  // namespace korvelin::platform
#endif  // __linux__
