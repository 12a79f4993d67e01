#include "core/update/AppUpdateManifest.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "core/base/ParsedURL.h"
#include "core/platform/SystemVersion.h"

namespace korvelin {

namespace {

using Case = AppUpdateError::Case;

[[noreturn]] void failWith(Case errorCase) {
  throw AppUpdateError(errorCase);
}

// The parsed URL when it is safe, else absent. The scheme is compared as
// written: libcurl lower-cases it, and "HTTPS" is not what the rule says.
std::optional<ParsedURL> safeURL(std::string_view text) {
  // libcurl reads "https:///x" as host "x"; an authority must be written.
  if (!text.starts_with("https://") || text.size() == 8 || text[8] == '/' ||
      text.find_first_of(std::string_view("\0 \t\r\n", 5)) != std::string_view::npos)
    return std::nullopt;
  using Part = ParsedURL::Part;
  auto parsed = ParsedURL::parse(text);
  if (!parsed || parsed->part(Part::scheme) != "https" || !parsed->has(Part::host) ||
      parsed->has(Part::user) || parsed->has(Part::password) || parsed->has(Part::query) ||
      parsed->has(Part::fragment) ||
      text.find_first_of("?#") != std::string_view::npos)  // an empty query or fragment is one too
    return std::nullopt;
  return parsed;
}

bool isHex64(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

// The manifest's members with their exact JSON types; anything else (a missing
// or unknown member, another type, a fraction where an integer belongs) fails.
AppUpdateRelease decodeRelease(const nlohmann::json& document) {
  static const std::set<std::string> kMembers = {
      "schemaVersion", "bundleIdentifier",     "channel",     "version",
      "build",         "minimumSystemVersion", "publishedAt", "expiresAt",
      "notes",         "downloadURL",          "size",        "sha256"};
  if (!document.is_object() || document.size() != kMembers.size())
    failWith(Case::invalidManifest);
  for (const auto& [key, value] : document.items())
    if (!kMembers.contains(key))
      failWith(Case::invalidManifest);
  auto string = [&](const char* key) {
    const auto& value = document.at(key);
    if (!value.is_string())
      failWith(Case::invalidManifest);
    return value.get<std::string>();
  };
  auto unsignedNumber = [&](const char* key) {
    const auto& value = document.at(key);
    if (!value.is_number_unsigned())
      failWith(Case::invalidManifest);
    return value.get<std::uint64_t>();
  };
  auto number = [&](const char* key) {
    const auto& value = document.at(key);
    if (!value.is_number())
      failWith(Case::invalidManifest);
    return value.get<double>();
  };
  AppUpdateRelease release;
  const auto& schema = document.at("schemaVersion");
  if (!schema.is_number_integer())
    failWith(Case::invalidManifest);
  release.schemaVersion = schema.is_number_unsigned() && schema.get<std::uint64_t>() > INT64_MAX
                              ? INT64_MAX
                              : schema.get<std::int64_t>();
  release.bundleIdentifier = string("bundleIdentifier");
  release.channel = string("channel");
  release.version = string("version");
  release.build = unsignedNumber("build");
  release.minimumSystemVersion = string("minimumSystemVersion");
  release.publishedAt = number("publishedAt");
  release.expiresAt = number("expiresAt");
  release.notes = string("notes");
  release.downloadURL = string("downloadURL");
  release.size = unsignedNumber("size");
  release.sha256 = string("sha256");
  return release;
}

bool isDiskImageURL(const std::string& url) {
  auto parsed = safeURL(url);
  if (!parsed)
    return false;
  const std::string path = parsed->part(ParsedURL::Part::path).value_or("");
  const std::string name = path.substr(path.rfind('/') + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0)
    return false;
  std::string extension = name.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == "dmg";
}

// Every rule, in the order of the manifest's members, then the clock.
void checkRules(const AppUpdateRelease& r,
                std::string_view applicationIdentifier,
                double now,
                const std::string& systemVersion) {
  const bool valid =
      r.schemaVersion == 1 && r.bundleIdentifier == applicationIdentifier &&
      r.channel == "stable" && AppUpdateConfiguration::numericVersion(r.version) && r.build != 0 &&
      AppUpdateConfiguration::numericVersion(r.minimumSystemVersion) &&
      AppUpdateConfiguration::numericVersion(systemVersion) &&
      compareNumericVersions(r.minimumSystemVersion, systemVersion) <= 0 &&
      std::isfinite(r.publishedAt) && r.publishedAt > 0 && std::isfinite(r.expiresAt) &&
      r.expiresAt > r.publishedAt && r.expiresAt - r.publishedAt <= kAppUpdateLifetime &&
      r.notes.size() <= 8000 && isDiskImageURL(r.downloadURL) && r.size >= 1 &&
      r.size <= 1073741824 && isHex64(r.sha256) && r.publishedAt <= now + kAppUpdateClockSkew &&
      now < r.expiresAt;
  if (!valid)
    failWith(Case::invalidManifest);
}

std::vector<unsigned long> versionGroups(std::string_view version) {
  std::vector<unsigned long> groups(1, 0);
  for (char c : version) {
    if (c == '.')
      groups.push_back(0);
    else
      groups.back() = groups.back() * 10 + static_cast<unsigned long>(c - '0');
  }
  return groups;
}

}  // namespace

int compareNumericVersions(std::string_view a, std::string_view b) {
  auto left = versionGroups(a), right = versionGroups(b);
  left.resize(std::max(left.size(), right.size()), 0);
  right.resize(left.size(), 0);
  return left < right ? -1 : left == right ? 0 : 1;
}

std::string_view AppUpdateError::code() const noexcept {
  static constexpr std::array<std::string_view, 4> kCodes = {
      "invalidConfiguration", "invalidManifest", "invalidSignature", "transport"};
  return kCodes[static_cast<std::size_t>(case_)];
}

const char* AppUpdateError::what() const noexcept {
  switch (case_) {
    case Case::invalidConfiguration:
      return "The update feed configuration is invalid.";
    case Case::invalidManifest:
      return "The update manifest is invalid.";
    case Case::invalidSignature:
      return "The update manifest signature is invalid.";
    case Case::transport:
      return "The update feed could not be downloaded.";
  }
  return "";
}

bool isSafeUpdateURL(std::string_view url) {
  return safeURL(url).has_value();
}

AppUpdateConfiguration::AppUpdateConfiguration(std::string url, std::string key)
    : feedURL(std::move(url)), publicKey(std::move(key)) {
  if (!isSafeUpdateURL(feedURL) || publicKey.size() != crypto_sign_PUBLICKEYBYTES)
    failWith(Case::invalidConfiguration);
}

std::optional<AppUpdateConfiguration> AppUpdateConfiguration::fromInfo(const nlohmann::json& info) {
  const bool hasURL = info.is_object() && info.contains("KorvelinUpdateFeedURL");
  const bool hasKey = info.is_object() && info.contains("KorvelinUpdatePublicKey");
  if (!hasURL && !hasKey)
    return std::nullopt;
  if (!hasURL || !hasKey)
    failWith(Case::invalidConfiguration);
  const auto& url = info["KorvelinUpdateFeedURL"];
  const auto& key = info["KorvelinUpdatePublicKey"];
  if (!url.is_string() || !key.is_string())
    failWith(Case::invalidConfiguration);
  auto decoded = base64Decode(key.get<std::string>());
  if (!decoded)
    failWith(Case::invalidConfiguration);
  return AppUpdateConfiguration(url.get<std::string>(), std::move(*decoded));
}

bool AppUpdateConfiguration::numericVersion(std::string_view text) {
  int groups = 0;
  std::size_t digits = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      if (++digits > 6)
        return false;
    } else if (c == '.' && digits > 0 && groups < 3) {
      ++groups;
      digits = 0;
    } else {
      return false;
    }
  }
  return digits > 0;
}

AppUpdateRelease AppUpdateRelease::authenticate(std::string_view data,
                                                const AppUpdateConfiguration& configuration,
                                                std::string_view applicationIdentifier,
                                                double now,
                                                std::optional<std::string> systemVersion) {
  [[maybe_unused]] static const bool initialized = sodium_init() >= 0;
  if (data.size() > kAppUpdateManifestLimit)
    failWith(Case::invalidManifest);
  const auto envelope = nlohmann::json::parse(data, nullptr, false);
  if (!envelope.is_object() || envelope.size() != 2 || !envelope.contains("payload") ||
      !envelope.contains("signature") || !envelope["payload"].is_string() ||
      !envelope["signature"].is_string())
    failWith(Case::invalidManifest);
  const auto payload = base64Decode(envelope["payload"].get<std::string>());
  const auto signature = base64Decode(envelope["signature"].get<std::string>());
  if (!payload || !signature)
    failWith(Case::invalidManifest);

  if (configuration.publicKey.size() != crypto_sign_PUBLICKEYBYTES ||
      signature->size() != crypto_sign_BYTES ||
      crypto_sign_verify_detached(
          reinterpret_cast<const unsigned char*>(signature->data()),
          reinterpret_cast<const unsigned char*>(payload->data()), payload->size(),
          reinterpret_cast<const unsigned char*>(configuration.publicKey.data())) != 0)
    failWith(Case::invalidSignature);

  const auto document = nlohmann::json::parse(*payload, nullptr, false);
  if (document.is_discarded())
    failWith(Case::invalidManifest);
  AppUpdateRelease release = decodeRelease(document);
  checkRules(release, applicationIdentifier, now,
             systemVersion ? *systemVersion : platform::operatingSystemVersion());
  return release;
}

void to_json(nlohmann::json& json, const AppUpdateRelease& r) {
  json = {{"schemaVersion", r.schemaVersion},
          {"bundleIdentifier", r.bundleIdentifier},
          {"channel", r.channel},
          {"version", r.version},
          {"build", r.build},
          {"minimumSystemVersion", r.minimumSystemVersion},
          {"publishedAt", r.publishedAt},
          {"expiresAt", r.expiresAt},
          {"notes", r.notes},
          {"downloadURL", r.downloadURL},
          {"size", r.size},
          {"sha256", r.sha256}};
}

}  // namespace korvelin
