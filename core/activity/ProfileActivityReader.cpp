#include "core/activity/ProfileActivityReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include <nlohmann/json.hpp>

#include "core/activity/ProfileActivityJournal.h"
#include "core/files/DirectoryListing.h"
#include "core/files/FileSystemSecurity.h"
#include "core/files/PrivateFile.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {
namespace {

using nlohmann::json;
using platform::ScopedFD;

constexpr std::string_view kJournal = "activity.jsonl";
constexpr std::string_view kLaunchPrefix = "launch-";
constexpr std::string_view kRecoveryPrefix = "recovery-";
constexpr std::string_view kSuffix = ".jsonl";

// "activity.jsonl", or "launch-"/"recovery-" + a UUID + ".jsonl".
bool isHistoryFile(std::string_view name) {
  if (name == kJournal)
    return true;
  if (!name.ends_with(kSuffix))
    return false;
  for (auto prefix : {kLaunchPrefix, kRecoveryPrefix})
    if (name.starts_with(prefix))
      return Uuid::parse(name.substr(prefix.size(), name.size() - prefix.size() - kSuffix.size()))
          .has_value();
  return false;
}

// Entry names of an open directory, sorted; empty when it cannot be listed.
std::vector<std::string> sortedNames(int directory) {
  auto names = entryNames(directory).value_or(std::vector<std::string>{});
  std::sort(names.begin(), names.end());
  return names;
}
// The file's bytes when it is the user's private 0600 regular file of at
// most `maximumBytes`; absent otherwise. The open never follows a link and
// never waits on a FIFO.
std::optional<std::string> readSafely(int directory,
                                      const std::string& name,
                                      std::size_t maximumBytes) {
  ScopedFD fd = PrivateFile::open(directory, name, O_RDONLY);
  if (!fd)
    return std::nullopt;
  try {
    PrivateFile::verify(fd.get(), name,
                        ErrorFactory::always(KorvelinCoreError::unsafeProfilePath(name)),
                        {.sizes = std::pair<off_t, off_t>(0, static_cast<off_t>(maximumBytes))});
  } catch (const KorvelinCoreError&) {
    return std::nullopt;
  }
  return platform::readAllBounded(fd.get(), maximumBytes);
}

std::optional<Uuid> uuidMember(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string())
    return std::nullopt;
  return Uuid::parse(it->get<std::string>());
}

std::optional<double> numberMember(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number())
    return std::nullopt;
  return it->get<double>();
}

std::optional<std::int64_t> integerMember(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer())
    return std::nullopt;
  return it->get<std::int64_t>();
}

std::string_view journalSummary(ProfileActivityKind kind) {
  switch (kind) {
    case ProfileActivityKind::proxyConnectionAvailable:
      return "Proxy connection available";
    case ProfileActivityKind::proxyConnectionUnavailable:
      return "Proxy connection unavailable";
    case ProfileActivityKind::proxyDisconnected:
      return "Proxy disconnected; profile stopped";
    case ProfileActivityKind::proxyUnavailableWhileRunning:
      return "Proxy unavailable; application kept open";
    case ProfileActivityKind::codexUsageReset:
      return "Codex limits reset";
  }
  return {};
}

// The launch-log events the history shows; every other name gives nothing.
std::optional<std::pair<ProfileHistoryKind, std::string>> launchEvent(const std::string& event,
                                                                      const json& line) {
  using K = ProfileHistoryKind;
  static const std::map<std::string, std::pair<K, std::string>, std::less<>> fixed = {
      {"launch_requested", {K::launch, "Launch requested"}},
      {"process_started", {K::launch, "Application started"}},
      {"stop_requested", {K::stop, "Stop requested"}},
      {"native_termination_requested", {K::stop, "Stop requested"}},
      {"launch_failed", {K::error, "Launch failed"}},
      {"stop_timed_out", {K::error, "Stop timed out"}},
  };
  if (auto it = fixed.find(event); it != fixed.end())
    return it->second;
  if (event != "process_exited")
    return std::nullopt;
  if (auto code = integerMember(line, "exitCode"))
    return std::pair(K::stop, "Application exited with code " + std::to_string(*code));
  if (auto signal = integerMember(line, "terminationSignal"))
    return std::pair(K::stop, "Application stopped by signal " + std::to_string(*signal));
  return std::pair(K::stop, std::string("Application stopped"));
}

}  // namespace

std::string_view rawValue(ProfileHistoryKind kind) {
  switch (kind) {
    case ProfileHistoryKind::launch:
      return "launch";
    case ProfileHistoryKind::stop:
      return "stop";
    case ProfileHistoryKind::recovery:
      return "recovery";
    case ProfileHistoryKind::proxy:
      return "proxy";
    case ProfileHistoryKind::error:
      return "error";
    case ProfileHistoryKind::usage:
      return "usage";
  }
  return {};
}

std::optional<ProfileHistoryEvent> ProfileActivityReader::parseLine(const Uuid& profileID,
                                                                    std::string_view fileName,
                                                                    std::size_t index,
                                                                    std::string_view line) {
  ProfileHistoryEvent event;
  event.profileID = profileID;
  event.id =
      profileID.uppercaseString() + ":" + std::string(fileName) + ":" + std::to_string(index);
  if (fileName == kJournal) {
    auto parsed = parseProfileActivityEvent(line);
    if (!parsed || parsed->profileID != profileID)
      return std::nullopt;
    event.kind = parsed->kind == ProfileActivityKind::codexUsageReset ? ProfileHistoryKind::usage
                                                                      : ProfileHistoryKind::proxy;
    event.occurredAt = parsed->occurredAt.unixTime();
    event.summary = journalSummary(parsed->kind);
    return event;
  }
  const json object = json::parse(line.begin(), line.end(), nullptr, false);
  if (!object.is_object() || uuidMember(object, "profileID") != profileID)
    return std::nullopt;
  event.runID = uuidMember(object, "runID");
  auto name = object.find("event");
  if (!event.runID || name == object.end() || !name->is_string())
    return std::nullopt;
  if (fileName.starts_with(kRecoveryPrefix)) {
    auto at = numberMember(object, "recoveredAt");
    if (*name != "stale_lease_recovered" || !at)
      return std::nullopt;
    event.kind = ProfileHistoryKind::recovery;
    event.occurredAt = *at;
    event.summary = "Stale launch state recovered";
    return event;
  }
  auto at = numberMember(object, "timestamp");
  auto mapped = launchEvent(name->get<std::string>(), object);
  if (!at || !mapped)
    return std::nullopt;
  event.occurredAt = *at;
  std::tie(event.kind, event.summary) = *mapped;
  return event;
}

ProfileHistorySnapshot ProfileActivityReader::read(std::vector<Uuid> profileIDs,
                                                   const std::string& baseDirectory) const {
  ProfileHistorySnapshot snapshot;
  std::sort(profileIDs.begin(), profileIDs.end());
  for (const auto& profileID : profileIDs) {
    ScopedFD logs;
    try {
      const ProfilePaths paths(profileID, baseDirectory);
      const ErrorFactory error = &KorvelinCoreError::unsafeProfilePath;
      ScopedFD root = SecureFileSystem::openManagedRootFD(paths, error);
      logs = SecureFileSystem::openChildDirectoryFD(root.get(), "logs", paths.logs(),
                                                    MissingDirectories::fail, error);
    } catch (const KorvelinCoreError&) {
      continue;
    }
    std::size_t files = 0;
    for (const auto& name : sortedNames(logs.get())) {
      if (!isHistoryFile(name) || files++ >= maximumFiles)
        continue;
      const auto bytes = readSafely(logs.get(), name, maximumFileBytes);
      if (!bytes) {
        ++snapshot.ignoredEntryCount;
        continue;
      }
      std::size_t index = 0;
      for (std::size_t start = 0; start < bytes->size();) {
        std::size_t end = bytes->find('\n', start);
        if (end == std::string::npos)
          end = bytes->size();
        const std::string_view line(bytes->data() + start, end - start);
        start = end + 1;
        if (line.empty()) {
          ++index;
          continue;
        }
        if (auto event = parseLine(profileID, name, index++, line))
          snapshot.events.push_back(std::move(*event));
        else
          ++snapshot.ignoredEntryCount;
      }
    }
  }
  std::sort(snapshot.events.begin(), snapshot.events.end(), [](const auto& a, const auto& b) {
    return a.occurredAt != b.occurredAt ? a.occurredAt > b.occurredAt : a.id < b.id;
  });
  if (snapshot.events.size() > maximumEvents)
    snapshot.events.resize(maximumEvents);
  return snapshot;
}

}  // namespace korvelin
