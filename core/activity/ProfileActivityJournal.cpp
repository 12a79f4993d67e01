#include "core/activity/ProfileActivityJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/base/JsonSupport.h"
#include "core/files/FileLock.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/files/PrivateFile.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"
#include "core/process/LaunchLease.h"
#include "core/text/Utf8.h"

namespace korvelin {

using platform::retryOnEintr;
using platform::ScopedFD;

namespace {

constexpr std::string_view kLogsDirectoryName = "logs";

std::string journalPath(const ProfilePaths& paths) {
  return appendingPathComponent(paths.logs(), ProfileActivityJournal::kFileName);
}

// Opens the profile's "logs" directory through its verified root.
ScopedFD openLogsDirectory(const ProfilePaths& paths, const ErrorFactory& error) {
  ScopedFD root = SecureFileSystem::openManagedRootFD(paths, error);
  return SecureFileSystem::openChildDirectoryFD(root.get(), kLogsDirectoryName, paths.logs(),
                                                MissingDirectories::fail, error);
}

// The journal must be the user's private regular file, whoever created it.
struct stat requirePrivateJournal(int fd, const std::string& path, const ErrorFactory& error) {
  return PrivateFile::verify(fd, path, error, {.refusalDetail = "unsafe activity journal"});
}

}  // namespace

namespace {
constexpr EnumNames<ProfileActivityKind, 5> kActivityKindNames{{
    {ProfileActivityKind::proxyConnectionAvailable, "proxyConnectionAvailable"},
    {ProfileActivityKind::proxyConnectionUnavailable, "proxyConnectionUnavailable"},
    {ProfileActivityKind::proxyDisconnected, "proxyDisconnected"},
    {ProfileActivityKind::proxyUnavailableWhileRunning, "proxyUnavailableWhileRunning"},
    {ProfileActivityKind::codexUsageReset, "codexUsageReset"},
}};
}  // namespace

std::string_view rawValue(ProfileActivityKind kind) {
  return kActivityKindNames.name(kind);
}

std::optional<ProfileActivityKind> profileActivityKindFromRawValue(std::string_view text) {
  return kActivityKindNames.value(text);
}

ReferenceDate ReferenceDate::now() {
  return fromUnixTime(currentUnixTime());
}

std::string activityEventJSON(const ProfileActivityEvent& event) {
  // Insertion order is the field order, which is also the order the file
  // format fixes.
  nlohmann::ordered_json line;
  line["id"] = event.id.uppercaseString();
  line["profileID"] = event.profileID.uppercaseString();
  line["kind"] = rawValue(event.kind);
  line["occurredAt"] = event.occurredAt.secondsSinceReferenceDate;
  if (event.proxyName)
    line["proxyName"] = *event.proxyName;
  line["detail"] = event.detail;
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<ProfileActivityEvent> parseProfileActivityEvent(std::string_view line) {
  if (line.size() > kMaximumActivityLineBytes || !isValidUtf8(line))
    return std::nullopt;
  const auto json = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
  if (json.is_discarded() || !json.is_object())
    return std::nullopt;
  try {
    if (json.contains("proxyName"))
      jsonio::requireExactKeys(json,
                               {"id", "profileID", "kind", "occurredAt", "proxyName", "detail"});
    else
      jsonio::requireExactKeys(json, {"id", "profileID", "kind", "occurredAt", "detail"});
    ProfileActivityEvent event{.id = jsonio::requireUuid(json, "id"),
                               .profileID = jsonio::requireUuid(json, "profileID")};
    auto kind = profileActivityKindFromRawValue(jsonio::requireString(json, "kind"));
    if (!kind)
      return std::nullopt;
    event.kind = *kind;
    event.occurredAt.secondsSinceReferenceDate = jsonio::requireNumber(json, "occurredAt");
    if (!std::isfinite(event.occurredAt.secondsSinceReferenceDate))
      return std::nullopt;
    if (const auto* name = jsonio::optionalMember(json, "proxyName")) {
      if (!name->is_string())
        return std::nullopt;
      event.proxyName = name->get<std::string>();
    }
    event.detail = jsonio::requireString(json, "detail");
    return event;
  } catch (const jsonio::ShapeError&) {
    return std::nullopt;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

void ProfileActivityJournal::append(const ProfileActivityEvent& event,
                                    const ProfilePaths& paths) const {
  const ErrorFactory failed = &KorvelinCoreError::logCreationFailed;
  if (event.profileID != paths.profileID())
    throw KorvelinCoreError::profileIdentifierMismatch();
  // Refused before anything is opened: such a line could not be read back.
  if (!isValidUtf8(event.detail) || (event.proxyName && !isValidUtf8(*event.proxyName)))
    throw failed("activity event text is not valid UTF-8");
  if (!std::isfinite(event.occurredAt.secondsSinceReferenceDate))
    throw failed("activity event date is not a finite number");
  const std::string line = activityEventJSON(event) + "\n";

  ScopedFD logs = openLogsDirectory(paths, &KorvelinCoreError::unsafeProfilePath);
  bool created = false;
  ScopedFD fd = PrivateFile::openOrCreate(logs.get(), kFileName, O_WRONLY | O_APPEND,
                                          journalPath(paths), failed, created);
  if (!fd)
    throw failed(platform::errorText(errno));
  requirePrivateJournal(fd.get(), journalPath(paths), failed);
  FileLock lock(std::move(fd));
  if (!lock.lock(FileLock::Mode::exclusive, FileLock::Wait::untilFree))
    throw failed(platform::errorText(errno));
  // O_APPEND puts every write at the end of the file as it is then; the lock
  // keeps another appender's write from landing between two partial writes.
  if (!platform::writeFull(lock.fd(), line))
    throw failed(platform::errorText(errno));
  if (retryOnEintr([&] { return ::fsync(lock.fd()); }) != 0)
    throw failed(platform::errorText(errno));
}

ProfileActivityJournalContents readProfileActivityJournal(const ProfilePaths& paths,
                                                          std::size_t maximumBytes) {
  const ErrorFactory error = &KorvelinCoreError::unsafeProfilePath;
  const std::string path = journalPath(paths);
  ScopedFD logs = openLogsDirectory(paths, error);
  ScopedFD fd = PrivateFile::open(logs.get(), ProfileActivityJournal::kFileName, O_RDONLY);
  if (!fd) {
    const int openError = errno;
    if (openError == ENOENT)
      return {};
    throw error.failed(openError, "openat", path);
  }
  const auto size = static_cast<std::size_t>(requirePrivateJournal(fd.get(), path, error).st_size);

  // With a window that starts inside the file, one byte more is read: when
  // it is a line feed, the window's first line is whole.
  const std::size_t start = size > maximumBytes ? size - maximumBytes - 1 : 0;
  std::string bytes(size - start, '\0');
  const long count =
      platform::preadFull(fd.get(), bytes.data(), bytes.size(), static_cast<long long>(start));
  if (count < 0)
    throw error("could not read " + path + ": " + platform::errorText(errno));
  bytes.resize(static_cast<std::size_t>(count));

  ProfileActivityJournalContents contents;
  std::string_view text(bytes);
  if (start > 0) {
    const auto end = text.find('\n');
    if (end != 0)
      ++contents.ignoredLineCount;
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  for (auto line : jsonio::nonEmptyLines(text)) {
    auto event = parseProfileActivityEvent(line);
    if (event && event->profileID == paths.profileID())
      contents.events.push_back(std::move(*event));
    else
      ++contents.ignoredLineCount;
  }
  return contents;
}

}  // namespace korvelin
