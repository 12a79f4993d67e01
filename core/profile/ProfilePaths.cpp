#include "core/profile/ProfilePaths.h"

#include <nlohmann/json.hpp>

#include "core/base/JsonSupport.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/Paths.h"

namespace korvelin {

ProfilePaths::ProfilePaths(const Uuid& profileID, std::string_view baseDirectory)
    : profileID_(profileID),
      baseDirectory_(standardizedPath(baseDirectory)),
      profilesDirectory_(appendingPathComponent(baseDirectory_, kProfilesDirectoryName)),
      root_(appendingPathComponent(profilesDirectory_, profileID.lowercaseString())),
      home_(child("home")),
      config_(child("config")),
      cache_(child("cache")),
      userData_(child("user-data")),
      logs_(child("logs")) {}

std::string ProfilePaths::defaultBaseDirectory(std::string_view home,
                                               std::optional<std::string_view> xdgDataHome) {
  return standardizedPath(platform::defaultBaseDirectory(home, xdgDataHome));
}

std::string ProfilePaths::codexHome() const {
  return appendingPathComponent(home_, ".codex");
}

std::string ProfilePaths::leaseFile() const {
  return appendingPathComponent(root_, ".launch.lock");
}

std::string ProfilePaths::child(std::string_view name) const {
  return appendingPathComponent(root_, name);
}

ProfilePreparer::ProfilePreparer(std::string_view defaultBaseDirectory)
    : defaultBaseDirectory(standardizedPath(defaultBaseDirectory)) {}

void ProfilePreparer::prepareBase(const std::string& base) const {
  const ErrorFactory error = &KorvelinCoreError::unsafeProfileBase;
  if (SecureFileSystem::metadata(base))
    return validateBase(base);
  const std::string standardized = standardizedPath(base);
  if (standardized != defaultBaseDirectory)
    throw error("custom base must already exist: " + standardized);
  // The parent of the default base belongs to the system, not to us: it must
  // be the user's and closed to others, but may carry deny-only entries.
  SecureFileSystem::requireDirectory(deletingLastPathComponent(standardized),
                                     {.denyOnlyACLAllowed = true}, error);
  SecureFileSystem::createDirectoryIfNeeded(standardized, error);
}

void ProfilePreparer::validateBase(const std::string& base) const {
  SecureFileSystem::requireDirectory(base, {}, &KorvelinCoreError::unsafeProfileBase);
}

// The base and the tree are checked in one walk (`openVerifiedHierarchy`);
// only a missing base takes `prepareBase` first.
void ProfilePreparer::prepare(const ProfilePaths& paths) const {
  if (!SecureFileSystem::metadata(paths.baseDirectory()))
    prepareBase(paths.baseDirectory());
  SecureFileSystem::openVerifiedHierarchy(paths, SecureFileSystem::MissingDirectories::create);
}

void ProfilePreparer::validatePrepared(const ProfilePaths& paths) const {
  SecureFileSystem::openVerifiedHierarchy(paths, SecureFileSystem::MissingDirectories::fail);
}

void ProfilePreparer::prepareCodexHome(const ProfilePaths& paths) const {
  const ErrorFactory error = &KorvelinCoreError::unsafeProfilePath;
  const auto tree =
      SecureFileSystem::openVerifiedHierarchy(paths, SecureFileSystem::MissingDirectories::fail);
  auto home = SecureFileSystem::openChildDirectoryFD(tree.root.get(), "home", paths.home(),
                                                     MissingDirectories::fail, error);
  SecureFileSystem::openChildDirectoryFD(home.get(), ".codex", paths.codexHome(),
                                         MissingDirectories::create, error);
}

namespace {

constexpr std::array<std::string_view, 8> kLocationKeys = {
    "baseDirectory", "profilesDirectory", "root", "home", "config", "cache", "userData", "logs"};

const std::string& location(const ProfilePaths& paths, std::string_view key) {
  if (key == "baseDirectory")
    return paths.baseDirectory();
  if (key == "profilesDirectory")
    return paths.profilesDirectory();
  if (key == "root")
    return paths.root();
  if (key == "home")
    return paths.home();
  if (key == "config")
    return paths.config();
  if (key == "cache")
    return paths.cache();
  if (key == "userData")
    return paths.userData();
  return paths.logs();
}

}  // namespace

void to_json(nlohmann::json& json, const ProfilePaths& paths) {
  json = nlohmann::json::object();
  json["profileID"] = paths.profileID();
  for (auto key : kLocationKeys)
    json[std::string(key)] = fileURLString(location(paths, key), true);
}

ProfilePaths profilePathsFromJSON(const nlohmann::json& json) {
  jsonio::requireExactKeys(json, {"profileID", "baseDirectory", "profilesDirectory", "root", "home",
                                  "config", "cache", "userData", "logs"});
  const Uuid id = jsonio::requireUuid(json, "profileID");
  auto path = [&](std::string_view key) {
    auto decoded = pathFromFileURL(jsonio::requireString(json, key));
    if (!decoded)
      throw jsonio::ShapeError("\"" + std::string(key) + "\" is not a file URL");
    return *decoded;
  };
  ProfilePaths paths(id, path("baseDirectory"));
  // The locations are derived, never chosen: a document whose locations
  // disagree with its identifier and base names some other tree.
  for (auto key : kLocationKeys)
    if (path(key) != location(paths, key))
      throw jsonio::ShapeError("\"" + std::string(key) + "\" does not belong to the profile");
  return paths;
}

}  // namespace korvelin
