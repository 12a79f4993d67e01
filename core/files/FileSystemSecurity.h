#pragma once

// The one way the library creates, opens and checks the directories it owns
// and the executables it is about to run. Every operation refuses symbolic
// links, checks owner, type, permission bits and extended ACLs, and reaches
// children relative to an already opened and verified directory descriptor,
// so a path cannot be swapped underneath a check.
//
// Failures are thrown as the KorvelinCoreError the caller's ErrorFactory
// makes of a detail text naming the failing step and path, so one
// primitive can report `unsafeProfileBase` for the base directory and
// `unsafeProfilePath` inside a profile.

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/base/CoreError.h"
#include "core/platform/ScopedFD.h"

namespace korvelin {

class ProfilePaths;

// What lstat says about a directory entry (links are never followed).
struct FileMetadata {
  enum class Kind { directory, regularFile, symbolicLink, socket, other };

  struct stat info {};

  Kind kind() const;
  // st_mode & 0777.
  std::uint16_t permissions() const { return static_cast<std::uint16_t>(info.st_mode & 0777); }

  bool operator==(const FileMetadata& other) const;
};

// Pins a verified executable file: installation records keep it and compare
// it again before a launch.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedAtSeconds = 0;

  static FileIdentity of(const struct stat& info);

  bool operator==(const FileIdentity&) const = default;
};

// JSON object with exactly "device", "inode", "size", "modifiedAtSeconds".
void to_json(nlohmann::json& json, const FileIdentity& identity);
void from_json(const nlohmann::json& json, FileIdentity& identity);

// What a directory checked by path must be beyond a directory of the
// effective user that neither group nor others may write.
struct DirectoryRules {
  // The exact permission bits; any bits without write access for group and
  // others when absent.
  std::optional<std::uint16_t> exactPermissions;
  // Extended ACL entries are refused; with this set, only those that grant
  // access are.
  bool denyOnlyACLAllowed = false;
};

// What the openers of directories do with one that does not exist.
enum class MissingDirectories { fail, create };

class SecureFileSystem {
 public:
  SecureFileSystem() = delete;

  static constexpr std::uint16_t kPrivateDirectoryMode = 0700;

  // Fault point of `prepareNewManagedHierarchy`, called with the point's name
  // before each directory is created.
  using BeforeCreate = std::function<void(std::string_view point)>;
  // Durability point of `prepareNewManagedHierarchy`: makes the directory
  // behind the descriptor durable (normally fsync) or throws.
  using Sync = std::function<void(int fd, std::string_view point)>;

  // "expected mode 700, got 755: " + path (modes as three octal digits), the
  // detail of every exact-mode refusal.
  static std::string expectedModeDetail(unsigned expected,
                                        unsigned actual,
                                        const std::string& path);

  // lstat of `path`; absent when nothing is there. Other failures throw
  // `unsafeProfilePath`.
  static std::optional<FileMetadata> metadata(const std::string& path);

  // Refuses a path with a symbolic link in any component. Components that do
  // not exist (yet) contain no link.
  static void requireNoSymlinkComponents(const std::string& path, const ErrorFactory& error);

  // Creates a private directory if it is missing, then requires it to be
  // exactly 0700 with no extended ACL entry. Only a directory created here
  // is ever chmod-ed; an existing one is checked, never repaired.
  static void createDirectoryIfNeeded(const std::string& path, const ErrorFactory& error);

  // Checks an existing directory by path: no link in the path, a directory,
  // owned by the effective user, not writable by group or others, and what
  // `rules` asks.
  static void requireDirectory(const std::string& path,
                               const DirectoryRules& rules,
                               const ErrorFactory& error);

  // Opens a directory by path and checks it the same way through the
  // descriptor.
  static platform::ScopedFD openDirectoryFD(const std::string& path,
                                            const DirectoryRules& rules,
                                            const ErrorFactory& error);

  // Any extended ACL entry is refused. The path form reads the entry itself,
  // never a link's target.
  static void requireNoExtendedACL(const std::string& path, const ErrorFactory& error);
  static void requireNoExtendedACL(int fd, const std::string& path, const ErrorFactory& error);

  // Extended entries are allowed only when every one of them denies access.
  // (Linux has no deny entries, so there any entry is refused.)
  static void requireNoAccessGrantingACL(const std::string& path, const ErrorFactory& error);
  static void requireNoAccessGrantingACL(int fd,
                                         const std::string& path,
                                         const ErrorFactory& error);

  // Removes every extended ACL entry of an open file.
  static void clearExtendedACL(int fd, const std::string& path, const ErrorFactory& error);

  // Opens one child directory of an open, verified parent, first creating it
  // when it is missing and `missing` says so, and requires it to be a 0700 directory of
  // the effective user without extended ACL entries. Messages name
  // `displayPath`.
  static platform::ScopedFD openChildDirectoryFD(int parent,
                                                 std::string_view name,
                                                 const std::string& displayPath,
                                                 MissingDirectories missing,
                                                 const ErrorFactory& error);

  // Creates a child directory that must not exist yet, then opens and checks it.
  static platform::ScopedFD createExclusiveChildDirectoryFD(int parent,
                                                            std::string_view name,
                                                            const std::string& displayPath,
                                                            const ErrorFactory& error);

  // The profile's root directory, reached through the base, "Profiles" and the
  // profile's directory, each checked on the way. What lies inside a profile
  // is reached only through this descriptor.
  static platform::ScopedFD openManagedRootFD(
      const ProfilePaths& paths,
      const ErrorFactory& error = &KorvelinCoreError::unsafeProfilePath);

  // Opens the base and creates or verifies "Profiles", the profile's root and
  // its five children (`unsafeProfilePath`).
  static void prepareManagedHierarchy(const ProfilePaths& paths);

  // Creates a brand-new profile tree under an open base directory. Each
  // directory is announced to `beforeCreate` first; afterwards every created
  // directory, "Profiles" and the base are passed to `sync`, innermost first.
  // A root that exists already (or appeared while failing) is
  // `profileAlreadyExists`; later failures are rethrown unchanged and leave
  // the partial tree for the caller.
  static void prepareNewManagedHierarchy(const ProfilePaths& paths,
                                         int baseFD,
                                         const BeforeCreate& beforeCreate,
                                         const Sync& sync);

  // Verifies that the profile's root and its five children exist and are
  // safe, creating nothing (`unsafeProfilePath`).
  static void validateManagedHierarchy(const ProfilePaths& paths);

  // A profile tree checked once, from the base down to the five children,
  // with the descriptors a launch goes on with: everything it later opens in
  // the profile is reached through these, never through the paths again.
  struct VerifiedHierarchy {
    platform::ScopedFD root;
    platform::ScopedFD logs;
  };
  using MissingDirectories = korvelin::MissingDirectories;

  // The checks of `ProfilePreparer::validateBase` on the base (failures are
  // `unsafeProfileBase` with its messages), then those of
  // `prepareManagedHierarchy` (`MissingDirectories::create`) or of
  // `validateManagedHierarchy` below it, in one walk: the base's path is
  // looked at once for links and everything else is checked through the
  // descriptors opened on the way.
  static VerifiedHierarchy openVerifiedHierarchy(const ProfilePaths& paths,
                                                 MissingDirectories missing);

  // Verifies that `member` lies inside `bundle` without any symbolic link
  // and is an executable regular file, and returns its identity.
  static FileIdentity requireRegularExecutable(const std::string& member,
                                               const std::string& bundle);

  // Why `path` cannot be trusted as installed software, or nothing when it
  // can: no symbolic link on the way to it, and it and every directory above
  // it owned by root or the effective user and writable by neither group nor
  // others (so no one else could have put or changed it there).
  static std::optional<std::string> installationProblem(const std::string& path);
};

}  // namespace korvelin
