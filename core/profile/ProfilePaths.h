#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"

namespace korvelin {

// Where one profile's private directory tree lives:
//   base/Profiles/<lower-case uuid>/{home,config,cache,user-data,logs}
// Every other component obtains profile locations only from here.
class ProfilePaths {
 public:
  static constexpr std::string_view kProfilesDirectoryName = "Profiles";
  // The five children of a profile's root, in the order they are created.
  static constexpr std::array<std::string_view, 5> kChildDirectoryNames = {
      "home", "config", "cache", "user-data", "logs"};

  // `baseDirectory` is standardized (made absolute, "." and ".." applied).
  ProfilePaths(const Uuid& profileID, std::string_view baseDirectory);

  // The OS default base for a home directory (and, on Linux, XDG_DATA_HOME),
  // standardized. The host reads its environment and passes both in.
  static std::string defaultBaseDirectory(std::string_view home,
                                          std::optional<std::string_view> xdgDataHome);

  const Uuid& profileID() const { return profileID_; }
  const std::string& baseDirectory() const { return baseDirectory_; }
  const std::string& profilesDirectory() const { return profilesDirectory_; }
  const std::string& root() const { return root_; }
  const std::string& home() const { return home_; }
  const std::string& config() const { return config_; }
  const std::string& cache() const { return cache_; }
  const std::string& userData() const { return userData_; }
  const std::string& logs() const { return logs_; }

  // Codex's data directory inside a Codex profile's home.
  std::string codexHome() const;
  // The launch lease of the profile.
  std::string leaseFile() const;

  // The full path of one of `kChildDirectoryNames` under the root.
  std::string child(std::string_view name) const;

  bool operator==(const ProfilePaths&) const = default;

 private:
  Uuid profileID_;
  std::string baseDirectory_;
  std::string profilesDirectory_;
  std::string root_;
  std::string home_;
  std::string config_;
  std::string cache_;
  std::string userData_;
  std::string logs_;
};

// Creates or verifies the base directory and profile trees. The base must be
// the user's, not writable by group or others and without ACL entries (its own
// mode may be 0755); everything below it is exactly 0700. Only the default
// base is ever created here: a custom base must exist already. Failures are
// `unsafeProfileBase` for the base and its parent, `unsafeProfilePath` inside.
struct ProfilePreparer {
  std::string defaultBaseDirectory;  // standardized

  explicit ProfilePreparer(std::string_view defaultBaseDirectory);

  // `prepareBase` for a base chosen by the host.
  void prepareBaseDirectory(const std::string& base) const { prepareBase(base); }
  // Creates the default base (0700) when it is missing and its parent is safe;
  // verifies an existing base.
  void prepareBase(const std::string& base) const;
  // Verifies an existing base; creates nothing.
  void validateBase(const std::string& base) const;

  // Creates what is missing of the base and the profile's tree and verifies
  // what exists.
  void prepare(const ProfilePaths& paths) const;
  // Verifies the base and the profile's tree; creates nothing.
  void validatePrepared(const ProfilePaths& paths) const;
  // Verifies the tree, then opens or creates Codex's private directory in the
  // profile's home.
  void prepareCodexHome(const ProfilePaths& paths) const;

  bool operator==(const ProfilePreparer&) const = default;
};

// A JSON object keyed by the field names: "profileID" as upper-case UUID
// text, every location as an absolute "file://" URL. Decoding requires
// exactly these keys and locations that agree with the identifier and base;
// anything else throws jsonio::ShapeError.
void to_json(nlohmann::json& json, const ProfilePaths& paths);
ProfilePaths profilePathsFromJSON(const nlohmann::json& json);

}  // namespace korvelin
