#include "core/proxy/VLESSConnectionRepository.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/JsonSupport.h"
#include "core/files/FileLock.h"
#include "core/files/FileSystemSecurity.h"
#include "core/files/PrivateFile.h"
#include "core/platform/FileUtil.h"
#include "core/platform/Rename.h"
#include "core/platform/ScopedFD.h"
#include "core/profile/ProfilePaths.h"
#include "core/text/UnicodeText.h"

namespace korvelin {
namespace {

using nlohmann::json;
using platform::ScopedFD;

constexpr std::string_view kDirectoryName = "ProxyConnections";
constexpr std::string_view kSecretsName = "Secrets";
constexpr std::string_view kMetadataName = "connections.json";

KorvelinCoreError storageFailed() {
  return KorvelinCoreError::proxyConnectionStorageFailed(
      "Proxy connection storage is unavailable or unsafe.");
}

// Every storage problem reads the same; its detail is not shown.
const ErrorFactory kStorageError = ErrorFactory::always(storageFailed());

std::string linkFileName(const Uuid& id) {
  return id.lowercaseString() + ".vless";
}

// The two directories, open and checked: the user's, nothing for group or others.
struct Storage {
  ScopedFD directory;
  ScopedFD secrets;
};

// One of the two directories: the user's, exactly 0700, no ACL entry.
ScopedFD openPrivateDirectory(int parent, std::string_view name, bool create) {
  return SecureFileSystem::openChildDirectoryFD(
      parent, name, std::string(name),
      create ? MissingDirectories::create : MissingDirectories::fail, kStorageError);
}

// Absent when `name` does not exist; anything but the user's private file of
// at most `maximumBytes` throws.
std::optional<std::string> readPrivateFile(int directory,
                                           const std::string& name,
                                           std::size_t maximumBytes) {
  ScopedFD fd = PrivateFile::open(directory, name, O_RDONLY);
  if (!fd && errno == ENOENT)
    return std::nullopt;
  if (!fd)
    throw storageFailed();
  PrivateFile::verify(fd.get(), name, kStorageError,
                      {.sizes = std::pair<off_t, off_t>(0, static_cast<off_t>(maximumBytes))});
  auto bytes = platform::readAllBounded(fd.get(), maximumBytes);
  if (!bytes)
    throw storageFailed();
  return bytes;
}

enum class Replace { allowed, never };

// A fresh private temporary file, written, synced and renamed onto `name`;
// the directory is synced afterwards. With `Replace::never` an existing
// `name` fails with proxyConnectionAlreadyExists and stays as it was.
void writePrivateFile(int directory,
                      const std::string& name,
                      std::string_view bytes,
                      Replace replace) {
  const std::string temporary = ".tmp-" + Uuid::random().uppercaseString();
  ScopedFD fd =
      PrivateFile::createExclusive(directory, temporary, O_WRONLY, temporary, kStorageError);
  int renamed = -1;
  int renameError = 0;
  if (platform::writeFull(fd.get(), bytes) && ::fsync(fd.get()) == 0) {
    renamed = replace == Replace::never
                  ? platform::renameNoReplace(directory, temporary.c_str(), directory, name.c_str())
                  : ::renameat(directory, temporary.c_str(), directory, name.c_str());
    renameError = errno;
  }
  if (renamed != 0) {
    ::unlinkat(directory, temporary.c_str(), 0);
    if (renameError == EEXIST)
      throw KorvelinCoreError::proxyConnectionAlreadyExists();
    throw storageFailed();
  }
  ::fsync(directory);
}

struct Loaded {
  std::vector<VLESSConnection> connections;  // file order
};

// The connections on disk, each with the transport its link gives.
std::vector<VLESSConnection> readConnections(const Storage& storage) {
  const auto bytes = readPrivateFile(storage.directory.get(), std::string(kMetadataName),
                                     VLESSConnectionRepository::maximumMetadataBytes);
  if (!bytes)
    return {};
  auto connections = VLESSConnectionRepository::decodeMetadata(*bytes);
  std::set<Uuid> ids;
  std::set<std::string> names;
  for (auto& connection : connections) {
    if (!ids.insert(connection.id).second ||
        !names.insert(unicode::caseFolded(connection.name)).second)
      throw storageFailed();
    const auto link = readPrivateFile(storage.secrets.get(), linkFileName(connection.id),
                                      VLESSConnectionRepository::maximumLinkBytes);
    if (!link)
      throw storageFailed();
    connection.transport = VLESSRealityConfiguration(*link).transport;
  }
  return connections;
}

void sortByName(std::vector<VLESSConnection>& connections) {
  std::stable_sort(connections.begin(), connections.end(), [](const auto& a, const auto& b) {
    return unicode::caseFolded(a.name) < unicode::caseFolded(b.name);
  });
}

bool sameName(std::string_view a, std::string_view b) {
  return unicode::caseFolded(a) == unicode::caseFolded(b);
}

// Writers and readers of other processes take turns on the directory itself.
FileLock lockDirectory(int directory, bool exclusive) {
  FileLock lock(ScopedFD(::fcntl(directory, F_DUPFD_CLOEXEC, 0)));
  if (lock.fd() < 0 || !lock.lock(exclusive ? FileLock::Mode::exclusive : FileLock::Mode::shared,
                                  FileLock::Wait::untilFree))
    throw storageFailed();
  return lock;
}

VLESSConnection::Date wholeSeconds(std::chrono::system_clock::time_point moment) {
  return std::chrono::floor<std::chrono::seconds>(moment);
}

}  // namespace

std::vector<VLESSConnection> VLESSConnectionRepository::decodeMetadata(std::string_view bytes) {
  return jsonio::decode(bytes, kStorageError, "connections.json", [](const json& document) {
    jsonio::requireExactKeys(document, {"connections", "schemaVersion"});
    const auto& version = document.at("schemaVersion");
    if (!version.is_number_integer() || version.get<std::int64_t>() != 1)
      throw jsonio::ShapeError("unsupported schema version");
    const auto& list = document.at("connections");
    if (!list.is_array() || list.size() > VLESSConnectionRepository::maximumConnections)
      throw jsonio::ShapeError("bad connection list");
    std::vector<VLESSConnection> connections;
    for (const auto& entry : list) {
      auto connection = entry.get<VLESSConnection>();
      // Names are stored in their validated form only.
      if (jsonio::requireString(entry, "name") != connection.name)
        throw jsonio::ShapeError("name not in its validated form");
      connections.push_back(std::move(connection));
    }
    return connections;
  });
}

std::string VLESSConnectionRepository::encodeMetadata(
    const std::vector<VLESSConnection>& connections) {
  json document = {{"schemaVersion", 1}, {"connections", json::array()}};
  for (const auto& connection : connections)
    document["connections"].push_back(connection);
  return document.dump(2) + "\n";
}

VLESSConnectionRepository::VLESSConnectionRepository(std::string baseDirectory,
                                                     std::string defaultBaseDirectory,
                                                     Clock now)
    : base_(std::move(baseDirectory)),
      defaultBase_(std::move(defaultBaseDirectory)),
      now_(std::move(now)) {}

namespace {

// For reading: absent when nothing was ever saved.
std::optional<Storage> openForReading(const std::string& base) {
  struct stat info {};
  if (::lstat(base.c_str(), &info) != 0 && errno == ENOENT)
    return std::nullopt;
  ScopedFD baseFD =
      SecureFileSystem::openDirectoryFD(base, {}, &KorvelinCoreError::unsafeProfileBase);
  const std::string directory(kDirectoryName);
  if (::fstatat(baseFD.get(), directory.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 &&
      errno == ENOENT)
    return std::nullopt;
  Storage storage;
  storage.directory = openPrivateDirectory(baseFD.get(), kDirectoryName, false);
  storage.secrets = openPrivateDirectory(storage.directory.get(), kSecretsName, false);
  return storage;
}

Storage openForWriting(const std::string& base, const std::string& defaultBase) {
  ProfilePreparer(defaultBase).prepareBase(base);
  ScopedFD baseFD =
      SecureFileSystem::openDirectoryFD(base, {}, &KorvelinCoreError::unsafeProfileBase);
  Storage storage;
  storage.directory = openPrivateDirectory(baseFD.get(), kDirectoryName, true);
  storage.secrets = openPrivateDirectory(storage.directory.get(), kSecretsName, true);
  return storage;
}

void writeMetadata(const Storage& storage, const std::vector<VLESSConnection>& connections) {
  writePrivateFile(storage.directory.get(), std::string(kMetadataName),
                   VLESSConnectionRepository::encodeMetadata(connections), Replace::allowed);
}

const VLESSConnection& find(const std::vector<VLESSConnection>& connections, const Uuid& id) {
  for (const auto& connection : connections)
    if (connection.id == id)
      return connection;
  throw KorvelinCoreError::proxyConnectionNotFound();
}

}  // namespace

VLESSConnectionSnapshot VLESSConnectionRepository::load() const {
  std::lock_guard guard(mutex_);
  auto storage = openForReading(base_);
  if (!storage)
    return {};
  const auto lock = lockDirectory(storage->directory.get(), false);
  VLESSConnectionSnapshot snapshot{readConnections(*storage)};
  sortByName(snapshot.connections);
  return snapshot;
}

VLESSConnection VLESSConnectionRepository::create(const Uuid& id,
                                                  std::string_view name,
                                                  std::string_view uri) const {
  const std::string validName = VLESSConnection::validatedName(name);
  const VLESSRealityConfiguration configuration(uri);
  std::lock_guard guard(mutex_);
  const Storage storage = openForWriting(base_, defaultBase_);
  const auto lock = lockDirectory(storage.directory.get(), true);
  auto connections = readConnections(storage);
  if (connections.size() >= maximumConnections)
    throw KorvelinCoreError::proxyConnectionLimitReached();
  for (const auto& saved : connections)
    if (sameName(saved.name, validName))
      throw KorvelinCoreError::duplicateProxyConnectionName();
  for (const auto& saved : connections)
    if (saved.id == id)
      throw KorvelinCoreError::proxyConnectionAlreadyExists();
  const auto now = wholeSeconds(now_());
  VLESSConnection connection(id, validName, now, now, configuration.transport);

  const std::string linkName = linkFileName(id);
  if (faultPoint_)
    faultPoint_("link");
  writePrivateFile(storage.secrets.get(), linkName, uri, Replace::never);
  connections.push_back(connection);
  try {
    if (faultPoint_)
      faultPoint_("metadata");
    writeMetadata(storage, connections);
  } catch (...) {
    ::unlinkat(storage.secrets.get(), linkName.c_str(), 0);
    ::fsync(storage.secrets.get());
    throw;
  }
  return connection;
}

VLESSConnection VLESSConnectionRepository::update(const Uuid& id,
                                                  std::string_view name,
                                                  std::optional<std::string_view> uri) const {
  const std::string validName = VLESSConnection::validatedName(name);
  std::lock_guard guard(mutex_);
  const Storage storage = openForWriting(base_, defaultBase_);
  const auto lock = lockDirectory(storage.directory.get(), true);
  auto connections = readConnections(storage);
  VLESSConnection changed = find(connections, id);
  for (const auto& saved : connections)
    if (saved.id != id && sameName(saved.name, validName))
      throw KorvelinCoreError::duplicateProxyConnectionName();

  const std::string linkName = linkFileName(id);
  std::optional<std::string> oldLink;
  if (uri) {
    changed.transport = VLESSRealityConfiguration(*uri).transport;
    oldLink = readPrivateFile(storage.secrets.get(), linkName, maximumLinkBytes);
    if (!oldLink)
      throw storageFailed();
    if (faultPoint_)
      faultPoint_("link");
    writePrivateFile(storage.secrets.get(), linkName, *uri, Replace::allowed);
  }
  changed.name = validName;
  changed.updatedAt = wholeSeconds(now_());
  for (auto& saved : connections)
    if (saved.id == id)
      saved = changed;
  try {
    if (faultPoint_)
      faultPoint_("metadata");
    writeMetadata(storage, connections);
  } catch (...) {
    if (oldLink)
      writePrivateFile(storage.secrets.get(), linkName, *oldLink, Replace::allowed);
    throw;
  }
  return changed;
}

void VLESSConnectionRepository::remove(const Uuid& id,
                                       const std::set<Uuid>& referencedConnectionIDs) const {
  if (referencedConnectionIDs.count(id) != 0)
    throw KorvelinCoreError::proxyConnectionInUse();
  std::lock_guard guard(mutex_);
  auto storage = openForReading(base_);
  if (!storage)
    throw KorvelinCoreError::proxyConnectionNotFound();
  const auto lock = lockDirectory(storage->directory.get(), true);
  auto connections = readConnections(*storage);
  find(connections, id);
  std::erase_if(connections, [&](const auto& connection) { return connection.id == id; });
  writeMetadata(*storage, connections);
  const std::string linkName = linkFileName(id);
  if (::unlinkat(storage->secrets.get(), linkName.c_str(), 0) != 0 && errno != ENOENT)
    throw KorvelinCoreError::proxyConnectionStorageFailed(
        "The connection was removed but its saved link could not be deleted: " +
        platform::errorText(errno));
  ::fsync(storage->secrets.get());
}

std::string VLESSConnectionRepository::savedURI(const Uuid& id) const {
  std::lock_guard guard(mutex_);
  auto storage = openForReading(base_);
  if (!storage)
    throw KorvelinCoreError::proxyConnectionNotFound();
  const auto lock = lockDirectory(storage->directory.get(), false);
  find(readConnections(*storage), id);
  auto link = readPrivateFile(storage->secrets.get(), linkFileName(id), maximumLinkBytes);
  if (!link)
    throw storageFailed();
  VLESSRealityConfiguration parsed(*link);
  return *link;
}

VLESSRealityConfiguration VLESSConnectionRepository::configuration(const Uuid& id) const {
  return VLESSRealityConfiguration(savedURI(id));
}

}  // namespace korvelin
