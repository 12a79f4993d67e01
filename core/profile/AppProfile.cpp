#include "core/profile/AppProfile.h"

#include <nlohmann/json.hpp>

#include "core/apps/ManagedApplicationSupport.h"
#include "core/base/EnumNames.h"
#include "core/base/Iso8601Date.h"
#include "core/base/JsonSupport.h"
#include "core/text/UnicodeText.h"
#include "core/text/Utf8.h"

namespace korvelin {

using jsonio::optionalMember;
using jsonio::requireUuid;

namespace {

bool hasCharacterCount(std::string_view text, std::size_t minimum, std::size_t maximum) {
  if (text.size() < minimum || !isValidUtf8(text))
    return false;
  // Each character takes at least one byte, so a short text needs no counting.
  if (text.size() <= maximum)
    return true;
  std::size_t count = unicode::characterCount(text);
  return count >= minimum && count <= maximum;
}

}  // namespace

namespace {
constexpr EnumNames<ProfileColorToken, 8> kColorNames{{
    {ProfileColorToken::violet, "violet"},
    {ProfileColorToken::blue, "blue"},
    {ProfileColorToken::teal, "teal"},
    {ProfileColorToken::yellow, "yellow"},
    {ProfileColorToken::orange, "orange"},
    {ProfileColorToken::red, "red"},
    {ProfileColorToken::pink, "pink"},
    {ProfileColorToken::gray, "gray"},
}};
constexpr EnumNames<ProfileCatalogDurability, 2> kDurabilityNames{{
    {ProfileCatalogDurability::confirmed, "confirmed"},
    {ProfileCatalogDurability::unconfirmed, "unconfirmed"},
}};
}  // namespace

std::string_view rawValue(ProfileColorToken color) {
  return kColorNames.name(color);
}

std::optional<ProfileColorToken> profileColorTokenFromRawValue(std::string_view text) {
  return kColorNames.value(text);
}

std::string_view rawValue(ProfileCatalogDurability durability) {
  return kDurabilityNames.name(durability);
}

bool ProfileApplicationReference::meetsCatalogRules() const {
  return hasCharacterCount(displayName, 1, 120) && !bundlePath.empty() &&
         bundlePath.front() == '/' && hasCharacterCount(bundlePath, 1, 4096) &&
         hasCharacterCount(marketingVersion, 1, 80) && hasCharacterCount(buildVersion, 1, 80);
}

bool isValidProfileName(std::string_view name) {
  return hasCharacterCount(name, 1, 60) &&
         std::string(unicode::trimmed(name, unicode::Trim::whiteSpaceAndNewlines)) == name;
}

std::optional<std::string> profileModelViolation(const AppProfile& profile) {
  if (!isValidProfileName(profile.name))
    return "invalid profile name";
  if (!ManagedApplicationSupport::isSupported(profile) || !profile.application.meetsCatalogRules())
    return "invalid profile application metadata";
  if (profile.proxy && profile.proxyConnectionID)
    return "invalid profile proxy configuration";
  if (profile.allowSystemRouteFallback && !profile.proxyConnectionID)
    return "invalid profile proxy configuration";
  if (profile.proxy) {
    try {
      // A stored host must already be canonical: normalizing changes nothing.
      if (profile.proxy->validated() != *profile.proxy)
        return "invalid profile proxy configuration";
    } catch (const KorvelinCoreError&) {
      return "invalid profile proxy configuration";
    }
  }
  return std::nullopt;
}

void to_json(nlohmann::json& json, const ProfileColorToken& color) {
  json = rawValue(color);
}

void from_json(const nlohmann::json& json, ProfileColorToken& color) {
  auto parsed = json.is_string() ? profileColorTokenFromRawValue(json.get_ref<const std::string&>())
                                 : std::nullopt;
  if (!parsed)
    throw jsonio::ShapeError("\"color\" is not a profile color");
  color = *parsed;
}

void to_json(nlohmann::json& json, const ProfileApplicationReference& application) {
  json = nlohmann::json{{"displayName", application.displayName},
                        {"bundleIdentifier", application.bundleIdentifier},
                        {"bundlePath", application.bundlePath},
                        {"marketingVersion", application.marketingVersion},
                        {"buildVersion", application.buildVersion}};
}

void from_json(const nlohmann::json& json, ProfileApplicationReference& application) {
  application.displayName = jsonio::requireString(json, "displayName");
  application.bundleIdentifier = jsonio::requireString(json, "bundleIdentifier");
  application.bundlePath = jsonio::requireString(json, "bundlePath");
  application.marketingVersion = jsonio::requireString(json, "marketingVersion");
  application.buildVersion = jsonio::requireString(json, "buildVersion");
}

void to_json(nlohmann::json& json, const ProfileEnvironmentVariable& variable) {
  json = nlohmann::json{{"name", variable.name}, {"value", variable.value}};
}

void from_json(const nlohmann::json& json, ProfileEnvironmentVariable& variable) {
  variable.name = jsonio::requireString(json, "name");
  variable.value = jsonio::requireString(json, "value");
}

void to_json(nlohmann::json& json, const AppProfile& profile) {
  json = nlohmann::json{{"id", profile.id},
                        {"name", profile.name},
                        {"color", profile.color},
                        {"application", profile.application},
                        {"adapterIdentifier", profile.adapterIdentifier},
                        {"allowSystemRouteFallback", profile.allowSystemRouteFallback},
                        {"createdAt", iso8601String(profile.createdAt)}};
  if (profile.proxy)
    json["proxy"] = *profile.proxy;
  if (profile.proxyConnectionID)
    json["proxyConnectionID"] = *profile.proxyConnectionID;
  if (!profile.environmentVariables.empty())
    json["environmentVariables"] = profile.environmentVariables;
  if (!profile.launchArguments.empty())
    json["launchArguments"] = profile.launchArguments;
}

void from_json(const nlohmann::json& json, AppProfile& profile) {
  AppProfile result;
  result.id = requireUuid(json, "id");
  result.name = jsonio::requireString(json, "name");
  result.color = jsonio::requireMember(json, "color").get<ProfileColorToken>();
  result.application =
      jsonio::requireMember(json, "application").get<ProfileApplicationReference>();
  result.adapterIdentifier = jsonio::requireString(json, "adapterIdentifier");
  auto createdAt = parseIso8601(jsonio::requireString(json, "createdAt"));
  if (!createdAt)
    throw jsonio::ShapeError("\"createdAt\" is not an ISO 8601 date");
  result.createdAt = *createdAt;

  if (optionalMember(json, "proxy"))
    result.proxy = profileProxyConfigurationFromJSON(json["proxy"]);
  if (optionalMember(json, "proxyConnectionID"))
    result.proxyConnectionID = requireUuid(json, "proxyConnectionID");
  if (optionalMember(json, "allowSystemRouteFallback"))
    result.allowSystemRouteFallback = jsonio::requireBool(json, "allowSystemRouteFallback");
  if (const auto* variables = optionalMember(json, "environmentVariables")) {
    if (!variables->is_array())
      throw jsonio::ShapeError("\"environmentVariables\" is not a list");
    result.environmentVariables = variables->get<std::vector<ProfileEnvironmentVariable>>();
  }
  if (const auto* arguments = optionalMember(json, "launchArguments")) {
    if (!arguments->is_array())
      throw jsonio::ShapeError("\"launchArguments\" is not a list");
    result.launchArguments = arguments->get<std::vector<std::string>>();
  }
  profile = std::move(result);
}

}  // namespace korvelin
