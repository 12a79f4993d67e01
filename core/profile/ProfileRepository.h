#pragma once

// The profile catalogue: "profiles.json" in the base directory lists every
// profile, and each catalogued profile owns its directory tree under
// "Profiles". Every change runs under an exclusive flock on ".profiles.lock"
// (reads take it shared) and ends in one rename of a synced temporary file,
// so a crash leaves the old or the new catalogue, never a mixture. A rename
// whose directory sync failed is reported as `profileCatalogCommitUncertain`,
// neither success nor failure.
//
// Deleting a profile with its data first moves its tree aside to
// "Profiles/.deleted-<profile>-<uuid>" (the quarantine), then commits the
// catalogue, then removes the quarantine through directory descriptors
// without following any link. A commit that fails moves the tree back.

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/Uuid.h"
#include "core/profile/AppProfile.h"

namespace korvelin {

struct CodexInstallation;

// A named place where a test can make a change fail on purpose.
struct ProfileCatalogFaultPoint {
  enum class Kind { createHierarchy, sync, writeTemporary, renameCatalog };
  Kind kind = Kind::writeTemporary;
  // For `createHierarchy` and `sync`: "hierarchy.root", "hierarchy.child.<name>",
  // "hierarchy.profiles", "hierarchy.base", "catalog.temporary",
  // "catalog.commit-base", "default-parent", "recovery.default-parent",
  // "recovery.base".
  std::string name;

  static ProfileCatalogFaultPoint createHierarchy(std::string name) {
    return {Kind::createHierarchy, std::move(name)};
  }
  static ProfileCatalogFaultPoint sync(std::string name) { return {Kind::sync, std::move(name)}; }
  static ProfileCatalogFaultPoint writeTemporary() { return {Kind::writeTemporary, {}}; }
  static ProfileCatalogFaultPoint renameCatalog() { return {Kind::renameCatalog, {}}; }

  bool operator==(const ProfileCatalogFaultPoint&) const = default;
};

// Which file a catalogue was read from: a writer that bypassed the lock
// changes at least one of these.
struct CatalogFileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedAtSeconds = 0;
  std::int64_t modifiedAtNanoseconds = 0;
  std::int64_t changedAtSeconds = 0;
  std::int64_t changedAtNanoseconds = 0;

  static CatalogFileIdentity of(const struct stat& info);

  bool operator==(const CatalogFileIdentity&) const = default;
};

struct ProfileCatalogDocument {
  int schemaVersion = 5;
  std::vector<AppProfile> profiles;  // file order

  bool operator==(const ProfileCatalogDocument&) const = default;
};

// The strict reading of a catalogue's bytes: the shape check of its schema
// version, then the decoding; throws `invalidProfileCatalog`. The per-profile
// rules and directories are checked by the repository.
ProfileCatalogDocument decodeProfileCatalog(std::string_view bytes);

// The bytes written for a catalogue: schema version 5, sorted keys, two-space
// indentation, slashes unescaped.
std::string encodeProfileCatalog(const std::vector<AppProfile>& profiles);

// The order `load` returns: by creation date, then by upper-case identifier.
void sortProfilesForDisplay(std::vector<AppProfile>& profiles);

struct ProfileRepository {
  static constexpr std::size_t maximumCatalogBytes = 1048576;
  static constexpr int kSchemaVersion = 5;
  static constexpr std::string_view kCatalogFileName = "profiles.json";
  static constexpr std::string_view kLockFileName = ".profiles.lock";
  static constexpr std::string_view kQuarantinePrefix = ".deleted-";

  std::string baseDirectory;         // standardized
  std::string defaultBaseDirectory;  // standardized
  std::size_t maximumBytes = maximumCatalogBytes;
  std::function<std::chrono::system_clock::time_point()> now;
  std::function<Uuid()> temporaryID;
  // Asked at each fault point; true simulates a failure there. The
  // initializer installs one that always answers false.
  std::function<bool(const ProfileCatalogFaultPoint&)> shouldFail;

  // The host passes its default base (it reads the environment, not the
  // library): only that base is ever created here, and only there is the
  // parent directory checked and synced.
  ProfileRepository(std::string_view baseDirectory, std::string_view defaultBaseDirectory);

  // Every profile, by creation date. A missing default base is an empty
  // catalogue; a missing custom base is `unsafeProfileBase`. Syncs the base
  // (and the default base's parent) so that a rename a crash left unsynced
  // becomes durable; `unconfirmed` when those syncs failed.
  ProfileCatalogSnapshot load() const;

  struct Draft {
    Uuid id;  // chosen by the caller; becomes the profile's identifier
    std::string name;
    ProfileColorToken color = ProfileColorToken::violet;
    std::optional<ProfileProxyConfiguration> proxy;
    std::optional<Uuid> proxyConnectionID;
    bool allowSystemRouteFallback = false;
    std::vector<ProfileEnvironmentVariable> environmentVariables;
    std::vector<std::string> launchArguments;
  };

  // Adds a profile for a verified installation and creates its directory
  // tree, then commits the catalogue with the profile appended.
  AppProfile create(const Draft& draft, const CodexInstallation& installation) const;

  // Replaces everything but the identifier, application, adapter and
  // creation date with the draft's values (`draft.id` names the profile).
  AppProfile update(const Draft& draft) const;

  // Removes the profile from the catalogue; with `deleteData` its directory
  // tree too, refused while it has a launch lease.
  void remove(const Uuid& profileID, bool deleteData) const;

  struct DeletionRecovery {
    std::vector<Uuid> restored;         // quarantines moved back: their deletion never committed
    std::vector<std::string> removed;   // quarantines of committed deletions, now gone
    std::vector<std::string> retained;  // quarantines left as they are (see below)

    bool operator==(const DeletionRecovery&) const = default;
  };

  // Finishes what a crash left of deletions with data, under the exclusive
  // lock. A quarantine of a profile the catalogue still lists, whose root is
  // missing, is moved back (the deletion never committed); one of a profile
  // the catalogue no longer lists is removed (it did). A quarantine that is
  // not the only one of a listed profile, or that cannot be moved or removed,
  // is retained. Every create, update and delete does this first.
  DeletionRecovery recoverInterruptedDeletions() const;
};

}  // namespace korvelin
