#pragma once

// The value types that describe a profile and their JSON form inside the
// profile catalogue. All are plain values compared field by field; a change
// is a new value that replaces the old one in the catalogue.

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"
#include "core/profile/ProfileEnvironment.h"
#include "core/profile/ProfileProxyConfiguration.h"

namespace korvelin {

enum class ProfileColorToken { violet, blue, teal, yellow, orange, red, pink, gray };

// Display order.
inline constexpr std::array<ProfileColorToken, 8> kAllProfileColorTokens = {
    ProfileColorToken::violet, ProfileColorToken::blue,   ProfileColorToken::teal,
    ProfileColorToken::yellow, ProfileColorToken::orange, ProfileColorToken::red,
    ProfileColorToken::pink,   ProfileColorToken::gray};

std::string_view rawValue(ProfileColorToken color);
std::optional<ProfileColorToken> profileColorTokenFromRawValue(std::string_view text);

// The verified installed application a profile runs.
struct ProfileApplicationReference {
  std::string displayName;
  std::string bundleIdentifier;
  std::string bundlePath;
  std::string marketingVersion;
  std::string buildVersion;

  // Display name 1...120 characters, absolute bundle path of at most 4096,
  // versions 1...80 (user-perceived characters).
  bool meetsCatalogRules() const;

  bool operator==(const ProfileApplicationReference&) const = default;
};

struct AppProfile {
  Uuid id;
  std::string name;
  ProfileColorToken color = ProfileColorToken::violet;
  ProfileApplicationReference application;
  std::string adapterIdentifier;
  std::optional<ProfileProxyConfiguration> proxy;
  std::optional<Uuid> proxyConnectionID;
  bool allowSystemRouteFallback = false;
  std::vector<ProfileEnvironmentVariable> environmentVariables;
  std::vector<std::string> launchArguments;
  // Whole seconds: the stored form keeps no fraction.
  std::chrono::sys_seconds createdAt{};

  bool operator==(const AppProfile&) const = default;
};

enum class ProfileCatalogDurability { confirmed, unconfirmed };

std::string_view rawValue(ProfileCatalogDurability durability);

// What loading the catalogue returns. `unconfirmed`: the profiles are what
// the file holds now, but the syncs that make an earlier change durable failed.
struct ProfileCatalogSnapshot {
  std::vector<AppProfile> profiles;
  ProfileCatalogDurability durability = ProfileCatalogDurability::confirmed;

  bool operator==(const ProfileCatalogSnapshot&) const = default;
};

// A stored name: valid UTF-8, no white space or line break at either end,
// 1...60 user-perceived characters.
bool isValidProfileName(std::string_view name);

// The first per-profile rule a stored profile breaks, as the catalogue
// reports it: "invalid profile name", "invalid profile application metadata"
// or "invalid profile proxy configuration" (which includes the routing rules:
// a proxy excludes a connection, and a system-route fallback needs one).
// The environment, argument, uniqueness and directory rules are the
// catalogue's own.
std::optional<std::string> profileModelViolation(const AppProfile& profile);

// JSON forms. Decoders throw jsonio::ShapeError (or nlohmann errors) for a
// document of the wrong shape; jsonio::decode turns both into one error.
// "proxy" and "proxyConnectionID" are written only when present, the two
// lists only when not empty; a missing "allowSystemRouteFallback" reads as
// false and missing lists as empty. Keys beyond these are left to the
// catalogue's shape check.
void to_json(nlohmann::json& json, const ProfileColorToken& color);
void from_json(const nlohmann::json& json, ProfileColorToken& color);
void to_json(nlohmann::json& json, const ProfileApplicationReference& application);
void from_json(const nlohmann::json& json, ProfileApplicationReference& application);
void to_json(nlohmann::json& json, const ProfileEnvironmentVariable& variable);
void from_json(const nlohmann::json& json, ProfileEnvironmentVariable& variable);
void to_json(nlohmann::json& json, const AppProfile& profile);
void from_json(const nlohmann::json& json, AppProfile& profile);

}  // namespace korvelin
