#include "core/profile/ProfileRepository.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/apps/CodexInstallation.h"
#include "core/apps/ManagedApplicationSupport.h"
#include "core/base/CoreError.h"
#include "core/base/JsonSupport.h"
#include "core/files/DirectoryListing.h"
#include "core/files/FileLock.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/files/PrivateFile.h"
#include "core/files/TreeRemoval.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/Rename.h"
#include "core/platform/ScopedFD.h"
#include "core/platform/StatTime.h"
#include "core/profile/ProfileLaunchArguments.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "core/text/UnicodeText.h"

namespace korvelin {

using nlohmann::json;
using platform::errorText;
using platform::retryOnEintr;
using platform::ScopedFD;

namespace {

constexpr std::size_t kReadChunkBytes = 16384;

// ---------------------------------------------------------------------------
// Shape of the document, by schema version

struct ProfileKeySet {
  std::set<std::string, std::less<>> required;
  std::set<std::string, std::less<>> optional;
};

const std::array<ProfileKeySet, 5>& profileKeySets() {
  static const std::set<std::string, std::less<>> v1 = {
      "id", "name", "color", "application", "adapterIdentifier", "createdAt"};
  static const auto v3 = [] {
    auto keys = v1;
    keys.insert("allowSystemRouteFallback");
    return keys;
  }();
  static const std::array<ProfileKeySet, 5> sets = {{
      {v1, {}},
      {v1, {"proxy"}},
      {v3, {"proxy", "proxyConnectionID"}},
      {v3, {"proxy", "proxyConnectionID", "environmentVariables"}},
      {v3, {"proxy", "proxyConnectionID", "environmentVariables", "launchArguments"}},
  }};
  return sets;
}

[[noreturn]] void refuseShape(const char* detail) {
  throw KorvelinCoreError::invalidProfileCatalog(detail);
}

bool hasExactKeys(const json& object, std::initializer_list<std::string_view> keys) {
  if (!object.is_object() || object.size() != keys.size())
    return false;
  return std::all_of(keys.begin(), keys.end(),
                     [&](std::string_view key) { return object.contains(key); });
}

bool keysFit(const json& profile, const ProfileKeySet& keys) {
  for (const auto& key : keys.required)
    if (!profile.contains(key))
      return false;
  for (const auto& [key, value] : profile.items())
    if (!keys.required.count(key) && !keys.optional.count(key))
      return false;
  return true;
}

// Returns the schema version. Refuses with the first rule the document breaks.
int validateShape(const json& document) {
  if (!hasExactKeys(document, {"schemaVersion", "profiles"}))
    refuseShape("unexpected catalog fields");
  const json& version = document["schemaVersion"];
  if (!version.is_number_integer())
    refuseShape("unexpected catalog fields");
  const auto number = version.get<std::int64_t>();
  if (number < 1 || number > 5 ||
      (version.is_number_unsigned() && version.get<std::uint64_t>() > 5))
    refuseShape("unexpected catalog fields");
  const json& profiles = document["profiles"];
  if (!profiles.is_array())
    refuseShape("unexpected catalog fields");
  for (const auto& profile : profiles)
    if (!profile.is_object())
      refuseShape("unexpected catalog fields");

  const auto& keys = profileKeySets()[static_cast<std::size_t>(number - 1)];
  for (const auto& profile : profiles) {
    if (!keysFit(profile, keys) ||
        (profile.contains("proxy") && profile.contains("proxyConnectionID")) ||
        !hasExactKeys(profile["application"], {"displayName", "bundleIdentifier", "bundlePath",
                                               "marketingVersion", "buildVersion"}))
      refuseShape("unexpected profile fields");
    if (profile.contains("proxy") && !hasExactKeys(profile["proxy"], {"scheme", "host", "port"}))
      refuseShape("unexpected proxy fields");
    if (profile.contains("launchArguments")) {
      const json& arguments = profile["launchArguments"];
      if (!arguments.is_array() || !std::all_of(arguments.begin(), arguments.end(),
                                                [](const json& a) { return a.is_string(); }))
        refuseShape("unexpected launch argument fields");
    }
    if (profile.contains("environmentVariables")) {
      const json& variables = profile["environmentVariables"];
      if (!variables.is_array() ||
          !std::all_of(variables.begin(), variables.end(), [](const json& v) {
            return hasExactKeys(v, {"name", "value"}) && v["name"].is_string() &&
                   v["value"].is_string();
          }))
        refuseShape("unexpected environment variable fields");
    }
  }
  return static_cast<int>(number);
}

// ---------------------------------------------------------------------------
// Files

std::string upper(const Uuid& id) {
  return id.uppercaseString();
}

// A regular file of the effective user, exactly 0600, one link, no ACL.
CatalogFileIdentity requirePrivateFile(int fd, std::string_view name, const ErrorFactory& error) {
  const std::string displayName(name);
  return CatalogFileIdentity::of(
      PrivateFile::verify(fd, displayName, error,
                          {.refusalDetail = displayName + " failed owner/type/mode validation"}));
}

// The advisory lock on ".profiles.lock", released before the descriptor closes.
class CatalogLock {
 public:
  CatalogLock(int baseFD, bool exclusive) {
    const ErrorFactory error = &KorvelinCoreError::unsafeProfileCatalog;
    const std::string name(ProfileRepository::kLockFileName);
    bool created = false;
    ScopedFD fd = PrivateFile::openOrCreate(baseFD, name, O_RDWR, name, error, created);
    if (!fd)
      throw error("could not open .profiles.lock: " + errorText(errno));
    requirePrivateFile(fd.get(), name, error);
    lock_ = FileLock(std::move(fd));
    if (!lock_.lock(exclusive ? FileLock::Mode::exclusive : FileLock::Mode::shared,
                    FileLock::Wait::untilFree))
      throw error("flock failed: " + errorText(errno));
  }

 private:
  FileLock lock_;
};

struct LoadedCatalog {
  ProfileCatalogDocument document;
  std::optional<CatalogFileIdentity> identity;  // none: there is no catalogue yet
};

std::optional<CatalogFileIdentity> identityOfCatalogName(int baseFD) {
  const ErrorFactory error = &KorvelinCoreError::unsafeProfileCatalog;
  const std::string name(ProfileRepository::kCatalogFileName);
  ScopedFD fd = PrivateFile::open(baseFD, name, O_RDONLY);
  if (!fd && errno == ENOENT)
    return std::nullopt;
  if (!fd)
    throw error("could not open profiles.json: " + errorText(errno));
  return requirePrivateFile(fd.get(), name, error);
}

LoadedCatalog readCatalog(int baseFD, std::size_t maximumBytes) {
  const ErrorFactory error = &KorvelinCoreError::unsafeProfileCatalog;
  const std::string name(ProfileRepository::kCatalogFileName);
  ScopedFD fd = PrivateFile::open(baseFD, name, O_RDONLY);
  if (!fd && errno == ENOENT)
    return {};
  if (!fd)
    throw error("could not open profiles.json: " + errorText(errno));
  LoadedCatalog loaded;
  loaded.identity = requirePrivateFile(fd.get(), name, error);
  if (loaded.identity->size < 0 || static_cast<std::uint64_t>(loaded.identity->size) > maximumBytes)
    throw KorvelinCoreError::profileCatalogTooLarge();

  std::string bytes;
  std::array<char, kReadChunkBytes> chunk{};
  while (true) {
    const ssize_t n = retryOnEintr([&] { return ::read(fd.get(), chunk.data(), chunk.size()); });
    if (n < 0)
      throw error("could not read profiles.json: " + errorText(errno));
    if (n == 0)
      break;
    bytes.append(chunk.data(), static_cast<std::size_t>(n));
    if (bytes.size() > maximumBytes)
      throw KorvelinCoreError::profileCatalogTooLarge();
  }
  loaded.document = decodeProfileCatalog(bytes);
  return loaded;
}

// The per-profile rules in order, then every profile's directory tree.
void validateProfiles(const std::vector<AppProfile>& profiles,
                      const std::string& base,
                      const ProfilePreparer& preparer) {
  std::set<Uuid> seen;
  for (const auto& profile : profiles) {
    if (!seen.insert(profile.id).second)
      throw KorvelinCoreError::invalidProfileCatalog("duplicate profile identifier");
    if (auto violation = profileModelViolation(profile))
      throw KorvelinCoreError::invalidProfileCatalog(*violation);
    try {
      ProfileEnvironment::validate(profile.environmentVariables);
      ProfileLaunchArguments::validate(profile.launchArguments);
    } catch (const KorvelinCoreError&) {
      throw KorvelinCoreError::invalidProfileCatalog(
          "invalid profile environment variables or launch arguments");
    }
  }
  if (profiles.empty())
    return;
  for (const auto& profile : profiles) {
    try {
      // The base is the same for every profile: checked once, then each tree.
      if (&profile == &profiles.front())
        preparer.validateBase(base);
      SecureFileSystem::validateManagedHierarchy(ProfilePaths(profile.id, base));
    } catch (const KorvelinCoreError&) {
      throw KorvelinCoreError::invalidProfileCatalog("profile hierarchy is missing or unsafe: " +
                                                     upper(profile.id));
    }
  }
}

ScopedFD openBase(const std::string& base) {
  return SecureFileSystem::openDirectoryFD(base, {}, &KorvelinCoreError::unsafeProfileBase);
}

// The default base's parent belongs to the system: the user's and closed to
// others, deny-only ACL entries allowed. Checked by path, then through the
// descriptor returned.
ScopedFD openValidatedDefaultParent(const std::string& base) {
  const ErrorFactory error = &KorvelinCoreError::unsafeProfileBase;
  const std::string parent = deletingLastPathComponent(base);
  SecureFileSystem::requireDirectory(parent, {.denyOnlyACLAllowed = true}, error);
  ScopedFD fd = SecureFileSystem::openDirectoryFD(parent, {.denyOnlyACLAllowed = true}, error);
  return fd;
}

// Removes a temporary catalogue that failed to commit, but only when the name
// still holds the file this process created and opened.
void removeTemporary(int baseFD, int fd, const std::string& name) {
  try {
    const ErrorFactory error = &KorvelinCoreError::profileCatalogWriteFailed;
    const auto opened = requirePrivateFile(fd, name, error);
    ScopedFD again = PrivateFile::open(baseFD, name, O_RDONLY);
    if (!again)
      return;
    if (requirePrivateFile(again.get(), name, error) == opened)
      ::unlinkat(baseFD, name.c_str(), 0);
  } catch (const KorvelinCoreError&) {
  }
}

std::string encodedOrThrow(const std::vector<AppProfile>& profiles, std::size_t maximumBytes) {
  std::string bytes = encodeProfileCatalog(profiles);
  if (bytes.size() > maximumBytes)
    throw KorvelinCoreError::profileCatalogTooLarge();
  return bytes;
}

void requireLaunchable(const AppProfile& profile) {
  if (auto violation = profileModelViolation(profile))
    throw KorvelinCoreError::invalidProfileCatalog(*violation);
}

std::string trimmedName(const std::string& name) {
  std::string trimmed(unicode::trimmed(name, unicode::Trim::whiteSpaceAndNewlines));
  if (!isValidProfileName(trimmed))
    throw KorvelinCoreError::invalidProfileName();
  return trimmed;
}

// Steps shared by create and update before anything is opened: a valid name,
// a canonical proxy, valid lists and a coherent route.
ProfileRepository::Draft checkedDraft(const ProfileRepository::Draft& draft) {
  ProfileRepository::Draft checked = draft;
  checked.name = trimmedName(draft.name);
  if (draft.proxy) {
    if (draft.proxy->port == 0)
      throw KorvelinCoreError::invalidProxyConfiguration("Proxy port must be between 1 and 65535.");
    checked.proxy = draft.proxy->validated();
  }
  ProfileEnvironment::validate(draft.environmentVariables);
  ProfileLaunchArguments::validate(draft.launchArguments);
  if ((draft.proxy && draft.proxyConnectionID) ||
      (draft.allowSystemRouteFallback && !draft.proxyConnectionID))
    throw KorvelinCoreError::invalidProfileCatalog("invalid profile network route");
  return checked;
}

// A profile routed through a saved connection has its proxy record ready
// before the catalogue names it.
void bringUpXrayState(const AppProfile& profile, const std::string& base) {
  if (!profile.proxyConnectionID)
    return;
  XrayDurableStateStore store;
  store.withLockedState(ProfilePaths(profile.id, base), true,
                        [](const XrayDurableState&, XrayDurableStateWriter&) {});
}

}  // namespace

// ---------------------------------------------------------------------------

CatalogFileIdentity CatalogFileIdentity::of(const struct stat& info) {
  const auto modified = platform::modificationTime(info);
  const auto changed = platform::statusChangeTime(info);
  return CatalogFileIdentity{
      static_cast<std::uint64_t>(info.st_dev),     static_cast<std::uint64_t>(info.st_ino),
      static_cast<std::int64_t>(info.st_size),     static_cast<std::int64_t>(modified.tv_sec),
      static_cast<std::int64_t>(modified.tv_nsec), static_cast<std::int64_t>(changed.tv_sec),
      static_cast<std::int64_t>(changed.tv_nsec)};
}

ProfileCatalogDocument decodeProfileCatalog(std::string_view bytes) {
  json document;
  try {
    document = json::parse(bytes.begin(), bytes.end());
  } catch (const json::exception& e) {
    throw KorvelinCoreError::invalidProfileCatalog(e.what());
  }
  const int version = validateShape(document);
  ProfileCatalogDocument decoded;
  try {
    decoded.schemaVersion = jsonio::requireInteger<int>(document, "schemaVersion");
    decoded.profiles = document["profiles"].get<std::vector<AppProfile>>();
  } catch (const json::exception& e) {
    throw KorvelinCoreError::invalidProfileCatalog(e.what());
  } catch (const jsonio::ShapeError& e) {
    throw KorvelinCoreError::invalidProfileCatalog(e.what());
  }
  if (decoded.schemaVersion != version || version < 1 ||
      version > ProfileRepository::kSchemaVersion)
    throw KorvelinCoreError::invalidProfileCatalog("unsupported schema version " +
                                                   std::to_string(decoded.schemaVersion));
  return decoded;
}

std::string encodeProfileCatalog(const std::vector<AppProfile>& profiles) {
  try {
    return json{{"schemaVersion", ProfileRepository::kSchemaVersion}, {"profiles", profiles}}.dump(
        2);
  } catch (const json::exception&) {
    // Only text that is not UTF-8 cannot be written; nothing valid holds any.
    throw KorvelinCoreError::invalidProfileCatalog("profile text is not valid UTF-8");
  }
}

void sortProfilesForDisplay(std::vector<AppProfile>& profiles) {
  std::stable_sort(profiles.begin(), profiles.end(), [](const AppProfile& a, const AppProfile& b) {
    if (a.createdAt != b.createdAt)
      return a.createdAt < b.createdAt;
    return a.id.uppercaseString() < b.id.uppercaseString();
  });
}

// ---------------------------------------------------------------------------

namespace {

// Everything a change needs between opening the base and committing.
struct OpenCatalog {
  ScopedFD base;
  ScopedFD defaultParent;  // only for the default base
  std::unique_ptr<CatalogLock> lock;
  LoadedCatalog loaded;
};

}  // namespace

ProfileRepository::ProfileRepository(std::string_view base, std::string_view defaultBase)
    : baseDirectory(standardizedPath(base)),
      defaultBaseDirectory(standardizedPath(defaultBase)),
      now([] { return std::chrono::system_clock::now(); }),
      temporaryID([] { return Uuid::random(); }),
      shouldFail([](const ProfileCatalogFaultPoint&) { return false; }) {}

namespace {

// fsync unless the fault hook fails the point; a simulated failure reads as EIO.
int syncAt(const ProfileRepository& repository, int fd, const std::string& point) {
  if (repository.shouldFail(ProfileCatalogFaultPoint::sync(point)))
    return EIO;
  return ::fsync(fd) == 0 ? 0 : errno;
}

void requiredSync(const ProfileRepository& repository, int fd, const std::string& point) {
  if (int error = syncAt(repository, fd, point))
    throw KorvelinCoreError::profileCatalogWriteFailed("fsync failed at " + point + ": " +
                                                       errorText(error));
}

// The quarantine names in "Profiles" with the profile each belongs to.
std::vector<std::pair<std::string, Uuid>> quarantines(int profilesFD) {
  std::vector<std::pair<std::string, Uuid>> found;
  const std::string prefix(ProfileRepository::kQuarantinePrefix);
  constexpr std::size_t kUuidLength = 36;
  for (const auto& name : entryNames(profilesFD).value_or(std::vector<std::string>{})) {
    if (name.size() != prefix.size() + 2 * kUuidLength + 1 ||
        name.compare(0, prefix.size(), prefix) != 0 || name[prefix.size() + kUuidLength] != '-')
      continue;
    if (auto id = Uuid::parse(std::string_view(name).substr(prefix.size(), kUuidLength)))
      found.emplace_back(name, *id);
  }
  std::sort(found.begin(), found.end());
  return found;
}

ProfileRepository::DeletionRecovery repairQuarantines(int baseFD,
                                                      const std::vector<AppProfile>& profiles) {
  ProfileRepository::DeletionRecovery recovery;
  const std::string profilesName(ProfilePaths::kProfilesDirectoryName);
  ScopedFD profilesFD(retryOnEintr([&] {
    return ::openat(baseFD, profilesName.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!profilesFD)
    return recovery;
  const auto found = quarantines(profilesFD.get());
  for (const auto& entry : found) {
    // Named copies: lambdas below cannot capture structured bindings in C++20.
    const std::string& name = entry.first;
    const Uuid id = entry.second;
    const bool listed = std::any_of(profiles.begin(), profiles.end(),
                                    [&](const AppProfile& p) { return p.id == id; });
    const auto sameProfile =
        std::count_if(found.begin(), found.end(), [&](const auto& q) { return q.second == id; });
    const std::string root = id.lowercaseString();
    struct stat info {};
    bool done = false;
    if (!listed) {
      std::string failedPath;
      done = removeDirectoryTree(profilesFD.get(), name, failedPath) == 0;
      if (done)
        recovery.removed.push_back(name);
    } else if (sameProfile == 1 &&
               ::fstatat(profilesFD.get(), root.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 &&
               errno == ENOENT) {
      done = platform::renameNoReplace(profilesFD.get(), name.c_str(), profilesFD.get(),
                                       root.c_str()) == 0;
      if (done)
        recovery.restored.push_back(id);
    }
    if (!done)
      recovery.retained.push_back(name);
  }
  if (!recovery.removed.empty() || !recovery.restored.empty())
    ::fsync(profilesFD.get());
  return recovery;
}

// Opening steps for a change: base and default parent (synced), the
// exclusive lock, the catalogue read, what a crash left of a deletion
// repaired, and the catalogue checked.
OpenCatalog openForChange(const ProfileRepository& repository,
                          ProfileRepository::DeletionRecovery* recovery = nullptr) {
  OpenCatalog open;
  open.base = openBase(repository.baseDirectory);
  if (repository.baseDirectory == repository.defaultBaseDirectory) {
    open.defaultParent = openValidatedDefaultParent(repository.baseDirectory);
    requiredSync(repository, open.defaultParent.get(), "default-parent");
  }
  open.lock = std::make_unique<CatalogLock>(open.base.get(), true);
  open.loaded = readCatalog(open.base.get(), repository.maximumBytes);
  auto repaired = repairQuarantines(open.base.get(), open.loaded.document.profiles);
  if (recovery)
    *recovery = std::move(repaired);
  validateProfiles(open.loaded.document.profiles, repository.baseDirectory,
                   ProfilePreparer(repository.defaultBaseDirectory));
  return open;
}

// Writes the catalogue durably: an exclusive temporary file, synced, checked
// against the identity read under the lock, renamed over "profiles.json",
// then the base synced.
void persist(const ProfileRepository& repository,
             const std::string& bytes,
             int baseFD,
             const std::optional<CatalogFileIdentity>& expected,
             const Uuid& profileID) {
  const ErrorFactory failed = &KorvelinCoreError::profileCatalogWriteFailed;
  const std::string name = ".profiles." + repository.temporaryID().lowercaseString() + ".tmp";
  const std::string path = appendingPathComponent(repository.baseDirectory, name);
  ScopedFD fd = PrivateFile::createExclusive(baseFD, name, O_WRONLY, path, failed);
  try {
    if (repository.shouldFail(ProfileCatalogFaultPoint::writeTemporary()))
      throw failed("injected temporary write failure");
    if (!platform::writeFull(fd.get(), bytes))
      throw failed("write failed: " + errorText(errno));
    requiredSync(repository, fd.get(), "catalog.temporary");
    if (identityOfCatalogName(baseFD) != expected)
      throw KorvelinCoreError::unsafeProfileCatalog("profiles.json changed during update");
    if (repository.shouldFail(ProfileCatalogFaultPoint::renameCatalog()))
      throw failed("injected catalog rename failure");
    const std::string target(ProfileRepository::kCatalogFileName);
    if (::renameat(baseFD, name.c_str(), baseFD, target.c_str()) != 0)
      throw failed("renameat failed: " + errorText(errno));
  } catch (...) {
    removeTemporary(baseFD, fd.get(), name);
    throw;
  }
  fd.reset();
  if (syncAt(repository, baseFD, "catalog.commit-base") != 0)
    throw KorvelinCoreError::profileCatalogCommitUncertain(profileID);
}

}  // namespace

ProfileCatalogSnapshot ProfileRepository::load() const {
  const bool isDefault = baseDirectory == defaultBaseDirectory;
  ProfileCatalogSnapshot snapshot;
  auto unconfirmedUnless = [&](int error) {
    if (error != 0)
      snapshot.durability = ProfileCatalogDurability::unconfirmed;
  };
  const auto found = [&] {
    try {
      return SecureFileSystem::metadata(baseDirectory);
    } catch (const KorvelinCoreError& e) {
      throw KorvelinCoreError::unsafeProfileBase(e.detail());
    }
  }();
  if (!found) {
    if (!isDefault)
      throw KorvelinCoreError::unsafeProfileBase("custom base must already exist: " +
                                                 baseDirectory);
    ScopedFD parent = openValidatedDefaultParent(baseDirectory);
    unconfirmedUnless(syncAt(*this, parent.get(), "recovery.default-parent"));
    return snapshot;
  }
  ProfilePreparer preparer(defaultBaseDirectory);
  preparer.validateBase(baseDirectory);
  ScopedFD base = openBase(baseDirectory);
  if (isDefault) {
    ScopedFD parent = openValidatedDefaultParent(baseDirectory);
    unconfirmedUnless(syncAt(*this, parent.get(), "recovery.default-parent"));
  }
  CatalogLock lock(base.get(), false);
  LoadedCatalog loaded = readCatalog(base.get(), maximumBytes);
  validateProfiles(loaded.document.profiles, baseDirectory, preparer);
  unconfirmedUnless(syncAt(*this, base.get(), "recovery.base"));
  snapshot.profiles = std::move(loaded.document.profiles);
  sortProfilesForDisplay(snapshot.profiles);
  return snapshot;
}

AppProfile ProfileRepository::create(const Draft& draft,
                                     const CodexInstallation& installation) const {
  const Draft checked = [&] {
    // Name first, then what the installation allows, then the rest.
    trimmedName(draft.name);
    if (!isLaunchApproved(installation.compatibilityStatus))
      throw KorvelinCoreError::unverifiedVersion(installation.marketingVersion,
                                                 installation.buildVersion);
    return checkedDraft(draft);
  }();
  const auto adapter = ManagedApplicationSupport::adapterIdentifier(
      installation.bundleIdentifier, installation.signingTeamIdentifier);
  if (!adapter)
    throw KorvelinCoreError::invalidProfileCatalog("unsupported application identity");

  const ProfilePreparer preparer(defaultBaseDirectory);
  preparer.prepareBase(baseDirectory);
  OpenCatalog open = openForChange(*this);
  auto& profiles = open.loaded.document.profiles;
  const ProfilePaths paths(checked.id, baseDirectory);
  if (std::any_of(profiles.begin(), profiles.end(),
                  [&](const AppProfile& p) { return p.id == checked.id; }) ||
      SecureFileSystem::metadata(paths.root()))
    throw KorvelinCoreError::profileAlreadyExists(checked.id);

  AppProfile profile{checked.id,
                     checked.name,
                     checked.color,
                     applicationReference(installation),
                     std::string(*adapter),
                     checked.proxy,
                     checked.proxyConnectionID,
                     checked.allowSystemRouteFallback,
                     checked.environmentVariables,
                     checked.launchArguments,
                     std::chrono::floor<std::chrono::seconds>(now())};
  // What the installation says must make a profile the catalogue can load.
  requireLaunchable(profile);
  profiles.push_back(profile);
  const std::string bytes = encodedOrThrow(profiles, maximumBytes);

  SecureFileSystem::prepareNewManagedHierarchy(
      paths, open.base.get(),
      [&](std::string_view point) {
        if (shouldFail(ProfileCatalogFaultPoint::createHierarchy(std::string(point))))
          throw KorvelinCoreError::profileCatalogWriteFailed(
              "injected hierarchy creation failure at " + std::string(point));
      },
      [&](int fd, std::string_view point) { requiredSync(*this, fd, std::string(point)); });
  preparer.validateBase(baseDirectory);
  SecureFileSystem::validateManagedHierarchy(paths);
  bringUpXrayState(profile, baseDirectory);
  persist(*this, bytes, open.base.get(), open.loaded.identity, profile.id);
  return profile;
}

AppProfile ProfileRepository::update(const Draft& draft) const {
  const Draft checked = checkedDraft(draft);
  OpenCatalog open = openForChange(*this);
  auto& profiles = open.loaded.document.profiles;
  auto found = std::find_if(profiles.begin(), profiles.end(),
                            [&](const AppProfile& p) { return p.id == checked.id; });
  if (found == profiles.end())
    throw KorvelinCoreError::profileNotFound(checked.id);

  AppProfile replacement = *found;
  replacement.name = checked.name;
  replacement.color = checked.color;
  replacement.proxy = checked.proxy;
  replacement.proxyConnectionID = checked.proxyConnectionID;
  replacement.allowSystemRouteFallback = checked.allowSystemRouteFallback;
  replacement.environmentVariables = checked.environmentVariables;
  replacement.launchArguments = checked.launchArguments;
  requireLaunchable(replacement);
  *found = replacement;
  const std::string bytes = encodedOrThrow(profiles, maximumBytes);
  bringUpXrayState(replacement, baseDirectory);
  persist(*this, bytes, open.base.get(), open.loaded.identity, replacement.id);
  return replacement;
}

ProfileRepository::DeletionRecovery ProfileRepository::recoverInterruptedDeletions() const {
  DeletionRecovery recovery;
  openForChange(*this, &recovery);
  return recovery;
}

void ProfileRepository::remove(const Uuid& profileID, bool deleteData) const {
  OpenCatalog open = openForChange(*this);
  auto& profiles = open.loaded.document.profiles;
  auto found = std::find_if(profiles.begin(), profiles.end(),
                            [&](const AppProfile& p) { return p.id == profileID; });
  if (found == profiles.end())
    throw KorvelinCoreError::profileNotFound(profileID);
  profiles.erase(found);
  const std::string bytes = encodedOrThrow(profiles, maximumBytes);
  if (!deleteData)
    return persist(*this, bytes, open.base.get(), open.loaded.identity, profileID);

  const ErrorFactory failed = &KorvelinCoreError::profileDeletionFailed;
  const ProfilePaths paths(profileID, baseDirectory);
  ScopedFD profilesFD = SecureFileSystem::openDirectoryFD(paths.profilesDirectory(),
                                                          {.exactPermissions = 0700}, failed);
  const std::string rootName = profileID.lowercaseString();
  ScopedFD root(retryOnEintr([&] {
    return ::openat(profilesFD.get(), rootName.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!root)
    throw failed(errorText(errno));
  struct stat info {};
  struct stat lease {};
  if (::fstat(root.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
      (info.st_mode & 0777) != 0700 ||
      ::fstatat(root.get(), ".launch.lock", &lease, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
    throw KorvelinCoreError::profileDeletionBlocked(profileID);
  root.reset();

  // Quarantine: the tree leaves its name before the catalogue forgets it, so
  // a crash never leaves a catalogued profile pointing at half a tree.
  const std::string quarantine =
      std::string(kQuarantinePrefix) + rootName + "-" + temporaryID().lowercaseString();
  auto moveBack = [&] {
    platform::renameNoReplace(profilesFD.get(), quarantine.c_str(), profilesFD.get(),
                              rootName.c_str());
    ::fsync(profilesFD.get());
  };
  if (platform::renameNoReplace(profilesFD.get(), rootName.c_str(), profilesFD.get(),
                                quarantine.c_str()) != 0)
    throw failed(errorText(errno));
  if (::fsync(profilesFD.get()) != 0) {
    const int error = errno;
    moveBack();
    throw failed(errorText(error));
  }
  try {
    persist(*this, bytes, open.base.get(), open.loaded.identity, profileID);
  } catch (...) {
    moveBack();
    throw;
  }
  std::string failedPath;
  if (removeDirectoryTree(profilesFD.get(), quarantine, failedPath) != 0)
    throw failed("catalog updated, but retained quarantined data at " +
                 appendingPathComponent(paths.profilesDirectory(), quarantine));
  if (::fsync(profilesFD.get()) != 0)
    throw failed("profile data was removed, but directory durability is unconfirmed");
}

}  // namespace korvelin
