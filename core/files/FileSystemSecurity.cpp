#include "core/files/FileSystemSecurity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/base/JsonSupport.h"
#include "core/files/FilePath.h"
#include "core/platform/Acl.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/StatTime.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

using platform::AclState;
using platform::retryOnEintr;
using platform::ScopedFD;

namespace {

constexpr int kDirectoryOpenFlags = O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;

bool isGroupOrOtherWritable(mode_t mode) {
  return (mode & 022) != 0;
}

enum class LinkScan { clean, hasLink, unresolved };

// Walks an absolute, standardized path from the root and lstats every prefix.
// A component that cannot be looked up ends the walk as `unresolved`: nothing
// below a missing component can be a link.
LinkScan scanForLinks(const std::string& standardized) {
  std::string::size_type next = 1;
  while (next <= standardized.size()) {
    auto end = standardized.find('/', next);
    if (end == std::string::npos)
      end = standardized.size();
    std::string prefix = standardized.substr(0, end);
    struct stat info {};
    if (::lstat(prefix.c_str(), &info) != 0)
      return LinkScan::unresolved;
    if (S_ISLNK(info.st_mode))
      return LinkScan::hasLink;
    next = end + 1;
  }
  return LinkScan::clean;
}

bool isValidChildName(std::string_view name) {
  // "." and ".." would leave the verified parent; a NUL would cut the name short.
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// `openError` receives errno at once, before the name's buffer is released.
ScopedFD openChildAt(int parent, std::string_view name, int& openError) {
  std::string terminated(name);
  ScopedFD fd(
      retryOnEintr([&] { return ::openat(parent, terminated.c_str(), kDirectoryOpenFlags); }));
  openError = fd ? 0 : errno;
  return fd;
}

bool isPrivateDirectoryOfUser(const struct stat& info) {
  return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
         (info.st_mode & 0777) == SecureFileSystem::kPrivateDirectoryMode;
}

// Forces what this call itself created to exactly 0700 with no ACL entry,
// whatever the umask and the parent's inheritable entries made of it.
void makePrivate(int fd, const std::string& path, const ErrorFactory& error) {
  SecureFileSystem::clearExtendedACL(fd, path, error);
  if (retryOnEintr([&] { return ::fchmod(fd, SecureFileSystem::kPrivateDirectoryMode); }) != 0)
    throw error.failed(errno, "fchmod", path);
}

}  // namespace

FileMetadata::Kind FileMetadata::kind() const {
  switch (info.st_mode & S_IFMT) {
    case S_IFDIR:
      return Kind::directory;
    case S_IFREG:
      return Kind::regularFile;
    case S_IFLNK:
      return Kind::symbolicLink;
    case S_IFSOCK:
      return Kind::socket;
    default:
      return Kind::other;
  }
}

namespace {
bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}
}  // namespace

// Access times are left out: reading a directory may move them.
bool FileMetadata::operator==(const FileMetadata& other) const {
  const struct stat& a = info;
  const struct stat& b = other.info;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode &&
         a.st_nlink == b.st_nlink && a.st_uid == b.st_uid && a.st_gid == b.st_gid &&
         a.st_rdev == b.st_rdev && a.st_size == b.st_size &&
         sameTime(platform::modificationTime(a), platform::modificationTime(b)) &&
         sameTime(platform::statusChangeTime(a), platform::statusChangeTime(b));
}

FileIdentity FileIdentity::of(const struct stat& info) {
  return FileIdentity{
      static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
      static_cast<std::int64_t>(info.st_size), static_cast<std::int64_t>(info.st_mtime)};
}

void to_json(nlohmann::json& json, const FileIdentity& identity) {
  json = nlohmann::json{{"device", identity.device},
                        {"inode", identity.inode},
                        {"size", identity.size},
                        {"modifiedAtSeconds", identity.modifiedAtSeconds}};
}

void from_json(const nlohmann::json& json, FileIdentity& identity) {
  jsonio::requireExactKeys(json, {"device", "inode", "size", "modifiedAtSeconds"});
  identity.device = jsonio::requireInteger<std::uint64_t>(json, "device");
  identity.inode = jsonio::requireInteger<std::uint64_t>(json, "inode");
  identity.size = jsonio::requireInteger<std::int64_t>(json, "size");
  identity.modifiedAtSeconds = jsonio::requireInteger<std::int64_t>(json, "modifiedAtSeconds");
}

std::string SecureFileSystem::expectedModeDetail(unsigned expected,
                                                 unsigned actual,
                                                 const std::string& path) {
  char modes[40];
  std::snprintf(modes, sizeof modes, "expected mode %03o, got %03o: ", expected & 0777u,
                actual & 0777u);
  return modes + path;
}

std::optional<FileMetadata> SecureFileSystem::metadata(const std::string& path) {
  FileMetadata result;
  if (::lstat(standardizedPath(path).c_str(), &result.info) == 0)
    return result;
  if (errno == ENOENT)
    return std::nullopt;
  throw KorvelinCoreError::unsafeProfilePath(failureDetail(errno, "lstat", path));
}

void SecureFileSystem::requireNoSymlinkComponents(const std::string& path,
                                                  const ErrorFactory& error) {
  if (scanForLinks(standardizedPath(path)) == LinkScan::hasLink)
    throw error("path contains a symbolic link: " + path);
}

namespace {

// Opens a directory by path, with no link in any component and none
// followed at the end, and requires a directory of the effective user.
ScopedFD openOwnedDirectory(const std::string& path, const ErrorFactory& error, struct stat& info) {
  SecureFileSystem::requireNoSymlinkComponents(path, error);
  const std::string standardized = standardizedPath(path);
  ScopedFD fd(retryOnEintr([&] { return ::open(standardized.c_str(), kDirectoryOpenFlags); }));
  if (!fd)
    throw error.failed(errno, "open directory", path);
  if (::fstat(fd.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
    throw error("opened directory failed owner/type validation: " + path);
  return fd;
}

}  // namespace

void SecureFileSystem::createDirectoryIfNeeded(const std::string& path, const ErrorFactory& error) {
  const std::string standardized = standardizedPath(path);
  if (!metadata(path)) {
    // mkdir follows links in the leading components, so a linked path is
    // refused before anything is created through it, not only afterwards.
    requireNoSymlinkComponents(path, error);
    if (::mkdir(standardized.c_str(), kPrivateDirectoryMode) == 0) {
      struct stat info {};
      ScopedFD fd = openOwnedDirectory(path, error, info);
      makePrivate(fd.get(), path, error);
    } else if (errno != EEXIST) {
      throw error.failed(errno, "mkdir", path);
    }
  }
  requireDirectory(path, {.exactPermissions = kPrivateDirectoryMode}, error);
}

void SecureFileSystem::requireDirectory(const std::string& path,
                                        const DirectoryRules& rules,
                                        const ErrorFactory& error) {
  requireNoSymlinkComponents(path, error);
  auto found = metadata(path);
  if (!found)
    throw error("directory does not exist: " + path);
  if (found->kind() != FileMetadata::Kind::directory)
    throw error("not a directory: " + path);
  if (found->info.st_uid != ::geteuid())
    throw error("directory is owned by uid " + std::to_string(found->info.st_uid) + ": " + path);
  if (rules.exactPermissions && found->permissions() != *rules.exactPermissions)
    throw error(expectedModeDetail(*rules.exactPermissions, found->permissions(), path));
  if (isGroupOrOtherWritable(found->info.st_mode))
    throw error("directory is writable by group or others: " + path);
  if (rules.denyOnlyACLAllowed)
    requireNoAccessGrantingACL(path, error);
  else
    requireNoExtendedACL(path, error);
}

ScopedFD SecureFileSystem::openDirectoryFD(const std::string& path,
                                           const DirectoryRules& rules,
                                           const ErrorFactory& error) {
  struct stat info {};
  ScopedFD fd = openOwnedDirectory(path, error, info);
  if (rules.exactPermissions && (info.st_mode & 0777) != *rules.exactPermissions)
    throw error(expectedModeDetail(*rules.exactPermissions, info.st_mode, path));
  if (isGroupOrOtherWritable(info.st_mode))
    throw error("directory is writable by group or others: " + path);
  if (rules.denyOnlyACLAllowed)
    requireNoAccessGrantingACL(fd.get(), path, error);
  else
    requireNoExtendedACL(fd.get(), path, error);
  return fd;
}

namespace {

void refuseAnyAcl(platform::AclReading reading,
                  const std::string& path,
                  const ErrorFactory& error) {
  if (reading.state == AclState::none)
    return;
  if (reading.state == AclState::inspectionFailed)
    throw error.failed(reading.error, "ACL inspection", path);
  throw error("extended ACL is not allowed: " + path);
}

void refuseGrantingAcl(platform::AclReading reading,
                       const std::string& path,
                       const ErrorFactory& error) {
  switch (reading.state) {
    case AclState::none:
    case AclState::denyOnly:
      return;
    case AclState::granting:
      throw error("access-granting extended ACL is not allowed: " + path);
    case AclState::inspectionFailed:
      throw error.failed(reading.error, "ACL inspection", path);
    case AclState::serializationFailed:
      throw error.failed(reading.error, "ACL serialization", path);
  }
}

}  // namespace

void SecureFileSystem::requireNoExtendedACL(const std::string& path, const ErrorFactory& error) {
  refuseAnyAcl(platform::readExtendedAclOfEntry(standardizedPath(path), false), path, error);
}

void SecureFileSystem::requireNoExtendedACL(int fd,
                                            const std::string& path,
                                            const ErrorFactory& error) {
  refuseAnyAcl(platform::readExtendedAcl(fd, false), path, error);
}

void SecureFileSystem::requireNoAccessGrantingACL(const std::string& path,
                                                  const ErrorFactory& error) {
  refuseGrantingAcl(platform::readExtendedAclOfEntry(standardizedPath(path), true), path, error);
}

void SecureFileSystem::requireNoAccessGrantingACL(int fd,
                                                  const std::string& path,
                                                  const ErrorFactory& error) {
  refuseGrantingAcl(platform::readExtendedAcl(fd, true), path, error);
}

void SecureFileSystem::clearExtendedACL(int fd,
                                        const std::string& path,
                                        const ErrorFactory& error) {
  auto clearing = platform::clearExtendedAcl(fd);
  switch (clearing.state) {
    case platform::AclClearState::cleared:
      return;
    case platform::AclClearState::allocationFailed:
      throw error("could not allocate empty ACL for " + path);
    case platform::AclClearState::setFailed:
      throw error("could not clear ACL for " + path + ": " + platform::errorText(clearing.error));
  }
}

ScopedFD SecureFileSystem::openChildDirectoryFD(int parent,
                                                std::string_view name,
                                                const std::string& displayPath,
                                                MissingDirectories missing,
                                                const ErrorFactory& error) {
  if (!isValidChildName(name))
    throw error("invalid managed directory name: " + std::string(name));
  // The common case is a tree that exists already, so the open comes first and
  // mkdirat only follows a missing entry. Every outcome is the same as with
  // mkdirat first: an existing entry is opened (never followed), a missing one
  // is created here and marked as ours to chmod, and a racing creator's
  // EEXIST just leads to the open.
  bool created = false;
  int openError = 0;
  ScopedFD fd = openChildAt(parent, name, openError);
  if (!fd && openError == ENOENT && missing == MissingDirectories::create) {
    std::string terminated(name);
    if (::mkdirat(parent, terminated.c_str(), kPrivateDirectoryMode) == 0)
      created = true;
    else if (errno != EEXIST)
      throw error.failed(errno, "mkdirat", displayPath);
    fd = openChildAt(parent, name, openError);
  }
  if (!fd)
    throw error.failed(openError, "openat", displayPath);
  if (created)
    makePrivate(fd.get(), displayPath, error);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !isPrivateDirectoryOfUser(info))
    throw error("managed directory failed owner/type/mode validation: " + displayPath);
  requireNoExtendedACL(fd.get(), displayPath, error);
  return fd;
}

ScopedFD SecureFileSystem::createExclusiveChildDirectoryFD(int parent,
                                                           std::string_view name,
                                                           const std::string& displayPath,
                                                           const ErrorFactory& error) {
  if (!isValidChildName(name))
    throw error("invalid managed directory name: " + std::string(name));
  std::string terminated(name);
  if (::mkdirat(parent, terminated.c_str(), kPrivateDirectoryMode) != 0)
    throw error.failed(errno, "exclusive mkdirat", displayPath);
  int openError = 0;
  ScopedFD fd = openChildAt(parent, name, openError);
  if (!fd)
    throw error.failed(openError, "openat", displayPath);
  makePrivate(fd.get(), displayPath, error);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !isPrivateDirectoryOfUser(info))
    throw error("new directory failed owner/type/mode validation: " + displayPath);
  requireNoExtendedACL(fd.get(), displayPath, error);
  return fd;
}

namespace {

// The base itself may be 0755 (a user-chosen directory); it only must not be
// writable by anyone else and carry no ACL entry.
ScopedFD openBaseFD(const ProfilePaths& paths, const ErrorFactory& error) {
  return SecureFileSystem::openDirectoryFD(paths.baseDirectory(), {}, error);
}

}  // namespace

ScopedFD SecureFileSystem::openManagedRootFD(const ProfilePaths& paths, const ErrorFactory& error) {
  ScopedFD base = openBaseFD(paths, error);
  ScopedFD profiles =
      openChildDirectoryFD(base.get(), ProfilePaths::kProfilesDirectoryName,
                           paths.profilesDirectory(), MissingDirectories::fail, error);
  return openChildDirectoryFD(profiles.get(), paths.profileID().lowercaseString(), paths.root(),
                              MissingDirectories::fail, error);
}

namespace {

// The base (an absolute, standardized path) as `ProfilePreparer::validateBase`
// requires it, checked through the opened descriptor after one look at the
// path for links. Any failure is
// reported by the path-based check itself, so the messages are exactly its
// own; only a failure that check cannot see (a change in between) has one of
// this function's.
ScopedFD openValidatedBase(const std::string& path, const ErrorFactory& error) {
  auto refuse = [&](std::string detail) {
    SecureFileSystem::requireDirectory(path, {}, error);
    return error(std::move(detail));
  };
  if (scanForLinks(path) == LinkScan::hasLink)
    throw error("path contains a symbolic link: " + path);
  ScopedFD fd(retryOnEintr([&] { return ::open(path.c_str(), kDirectoryOpenFlags); }));
  if (!fd)
    throw refuse(failureDetail(errno, "open directory", path));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
    throw refuse("opened directory failed owner/type validation: " + path);
  if (isGroupOrOtherWritable(info.st_mode))
    throw refuse("directory is writable by group or others: " + path);
  const platform::AclReading acl = platform::readExtendedAcl(fd.get(), false);
  if (acl.state != AclState::none) {
    SecureFileSystem::requireDirectory(path, {}, error);
    refuseAnyAcl(acl, path, error);
  }
  return fd;
}

// "Profiles", the root and the five children below an open, verified base.
// Checking "logs" first follows `validateManagedHierarchy`; creating follows
// the order of `kChildDirectoryNames`.
SecureFileSystem::VerifiedHierarchy openHierarchyBelow(
    int base,
    const ProfilePaths& paths,
    SecureFileSystem::MissingDirectories missing) {
  const ErrorFactory error = &KorvelinCoreError::unsafeProfilePath;
  const bool create = missing == MissingDirectories::create;
  constexpr std::array<std::string_view, 5> kCheckOrder = {"logs", "home", "config", "cache",
                                                           "user-data"};
  static_assert(kCheckOrder.size() == ProfilePaths::kChildDirectoryNames.size());
  ScopedFD profiles = SecureFileSystem::openChildDirectoryFD(
      base, ProfilePaths::kProfilesDirectoryName, paths.profilesDirectory(), missing, error);
  SecureFileSystem::VerifiedHierarchy tree;
  tree.root = SecureFileSystem::openChildDirectoryFD(
      profiles.get(), paths.profileID().lowercaseString(), paths.root(), missing, error);
  for (auto name : create ? ProfilePaths::kChildDirectoryNames : kCheckOrder) {
    ScopedFD child = SecureFileSystem::openChildDirectoryFD(tree.root.get(), name,
                                                            paths.child(name), missing, error);
    if (name == "logs")
      tree.logs = std::move(child);
  }
  return tree;
}

}  // namespace

void SecureFileSystem::prepareManagedHierarchy(const ProfilePaths& paths) {
  ScopedFD base = openBaseFD(paths, &KorvelinCoreError::unsafeProfilePath);
  openHierarchyBelow(base.get(), paths, MissingDirectories::create);
}

void SecureFileSystem::validateManagedHierarchy(const ProfilePaths& paths) {
  ScopedFD base = openBaseFD(paths, &KorvelinCoreError::unsafeProfilePath);
  openHierarchyBelow(base.get(), paths, MissingDirectories::fail);
}

SecureFileSystem::VerifiedHierarchy SecureFileSystem::openVerifiedHierarchy(
    const ProfilePaths& paths,
    MissingDirectories missing) {
  ScopedFD base = openValidatedBase(paths.baseDirectory(), &KorvelinCoreError::unsafeProfileBase);
  return openHierarchyBelow(base.get(), paths, missing);
}

void SecureFileSystem::prepareNewManagedHierarchy(const ProfilePaths& paths,
                                                  int baseFD,
                                                  const BeforeCreate& beforeCreate,
                                                  const Sync& sync) {
  const ErrorFactory error = &KorvelinCoreError::unsafeProfilePath;
  ScopedFD profiles =
      openChildDirectoryFD(baseFD, ProfilePaths::kProfilesDirectoryName, paths.profilesDirectory(),
                           MissingDirectories::create, error);
  ScopedFD root;
  try {
    beforeCreate("hierarchy.root");
    root = createExclusiveChildDirectoryFD(profiles.get(), paths.profileID().lowercaseString(),
                                           paths.root(), error);
  } catch (...) {
    // A root that exists now means the identifier is taken (or a previous
    // attempt left an incomplete tree); that, not EEXIST, is what callers act on.
    std::exception_ptr first = std::current_exception();
    bool exists = false;
    try {
      exists = metadata(paths.root()).has_value();
    } catch (...) {
    }
    if (exists)
      throw KorvelinCoreError::profileAlreadyExists(paths.profileID());
    std::rethrow_exception(first);
  }

  std::vector<ScopedFD> children;
  children.reserve(ProfilePaths::kChildDirectoryNames.size());
  for (auto name : ProfilePaths::kChildDirectoryNames) {
    beforeCreate("hierarchy.child." + std::string(name));
    children.push_back(createExclusiveChildDirectoryFD(root.get(), name, paths.child(name), error));
  }

  // Innermost first: a directory's entry in its parent is synced only after
  // the directory's own entries are.
  for (std::size_t i = 0; i < children.size(); ++i)
    sync(children[i].get(),
         "hierarchy.child." + std::string(ProfilePaths::kChildDirectoryNames[i]));
  sync(root.get(), "hierarchy.root");
  sync(profiles.get(), "hierarchy.profiles");
  sync(baseFD, "hierarchy.base");
}

FileIdentity SecureFileSystem::requireRegularExecutable(const std::string& member,
                                                        const std::string& bundle) {
  const std::string standardizedMember = standardizedPath(member);
  const std::string standardizedBundle = standardizedPath(bundle);
  const std::string prefix = standardizedBundle == "/" ? "/" : standardizedBundle + "/";
  // A link anywhere makes the member unsafe; a component that cannot be
  // looked up (a missing member or directory) only means there is nothing
  // to execute.
  if (standardizedMember.size() <= prefix.size() ||
      standardizedMember.compare(0, prefix.size(), prefix) != 0)
    throw KorvelinCoreError::unsafeBundleMember(member);
  const LinkScan scan = scanForLinks(standardizedMember);
  if (scan == LinkScan::hasLink)
    throw KorvelinCoreError::unsafeBundleMember(member);
  if (scan == LinkScan::unresolved)
    throw KorvelinCoreError::bundleMemberNotExecutable(member);
  auto found = metadata(member);
  if (!found || found->kind() != FileMetadata::Kind::regularFile ||
      ::access(standardizedMember.c_str(), X_OK) != 0)
    throw KorvelinCoreError::bundleMemberNotExecutable(member);
  return FileIdentity::of(found->info);
}

std::optional<std::string> SecureFileSystem::installationProblem(const std::string& path) {
  const std::string standardized = standardizedPath(path);
  switch (scanForLinks(standardized)) {
    case LinkScan::hasLink:
      return "path contains a symbolic link: " + path;
    case LinkScan::unresolved:
      return "no such file: " + path;
    case LinkScan::clean:
      break;
  }
  const uid_t self = ::geteuid();
  for (std::string at = standardized;; at = deletingLastPathComponent(at)) {
    struct stat info;
    if (::lstat(at.c_str(), &info) != 0)
      return failureDetail(errno, "lstat", at);
    if (info.st_uid != 0 && info.st_uid != self)
      return "owned by another user: " + at;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
      return "writable by group or others: " + at;
    if (at == "/")
      return std::nullopt;
  }
}

}  // namespace korvelin
