#include "core/apps/CodexInstallation.h"

#include <array>

#include <nlohmann/json.hpp>

#include "core/base/EnumNames.h"
#include "core/base/JsonSupport.h"
#include "core/files/FilePath.h"

namespace korvelin {

namespace {

constexpr EnumNames<CodexCompatibilityStatus, 3> kStatusNames{{
    {CodexCompatibilityStatus::unverifiedVersion, "unverifiedVersion"},
    {CodexCompatibilityStatus::verified, "verified"},
    {CodexCompatibilityStatus::locallyVerified, "locallyVerified"},
}};

std::string requireFileURL(const nlohmann::json& object, std::string_view key) {
  std::string url = jsonio::requireString(object, key);
  if (!pathFromFileURL(url))
    throw jsonio::ShapeError("\"" + std::string(key) + "\" is not a file URL");
  return url;
}

}  // namespace

std::string_view rawValue(CodexCompatibilityStatus status) {
  return kStatusNames.name(status);
}

std::optional<CodexCompatibilityStatus> codexCompatibilityStatusFromRawValue(
    std::string_view text) {
  return kStatusNames.value(text);
}

std::optional<std::string> CodexInstallation::bundlePath() const {
  return pathFromFileURL(bundleURL);
}

ProfileApplicationReference applicationReference(const CodexInstallation& installation) {
  return ProfileApplicationReference{installation.displayName, installation.bundleIdentifier,
                                     installation.bundlePath().value_or(""),
                                     installation.marketingVersion, installation.buildVersion};
}

void to_json(nlohmann::json& json, const CodexInstallation& installation) {
  json = nlohmann::json{{"bundleURL", installation.bundleURL},
                        {"displayName", installation.displayName},
                        {"bundleIdentifier", installation.bundleIdentifier},
                        {"marketingVersion", installation.marketingVersion},
                        {"buildVersion", installation.buildVersion},
                        {"executableURL", installation.executableURL},
                        {"backendURL", installation.backendURL},
                        {"architectures", installation.architectures},
                        {"signingTeamIdentifier", installation.signingTeamIdentifier},
                        {"codeDirectoryHash", installation.codeDirectoryHash},
                        {"compatibilityStatus", rawValue(installation.compatibilityStatus)},
                        {"executableIdentity", installation.executableIdentity},
                        {"backendIdentity", installation.backendIdentity}};
}

void from_json(const nlohmann::json& json, CodexInstallation& installation) {
  jsonio::requireExactKeys(
      json, {"bundleURL", "displayName", "bundleIdentifier", "marketingVersion", "buildVersion",
             "executableURL", "backendURL", "architectures", "signingTeamIdentifier",
             "codeDirectoryHash", "compatibilityStatus", "executableIdentity", "backendIdentity"});
  CodexInstallation result;
  result.bundleURL = requireFileURL(json, "bundleURL");
  result.displayName = jsonio::requireString(json, "displayName");
  result.bundleIdentifier = jsonio::requireString(json, "bundleIdentifier");
  result.marketingVersion = jsonio::requireString(json, "marketingVersion");
  result.buildVersion = jsonio::requireString(json, "buildVersion");
  result.executableURL = requireFileURL(json, "executableURL");
  result.backendURL = requireFileURL(json, "backendURL");
  const auto& architectures = jsonio::requireMember(json, "architectures");
  if (!architectures.is_array())
    throw jsonio::ShapeError("\"architectures\" is not a list");
  result.architectures = architectures.get<std::vector<std::string>>();
  result.signingTeamIdentifier = jsonio::requireString(json, "signingTeamIdentifier");
  result.codeDirectoryHash = jsonio::requireString(json, "codeDirectoryHash");
  auto status =
      codexCompatibilityStatusFromRawValue(jsonio::requireString(json, "compatibilityStatus"));
  if (!status)
    throw jsonio::ShapeError("\"compatibilityStatus\" is not a compatibility status");
  result.compatibilityStatus = *status;
  result.executableIdentity = jsonio::requireMember(json, "executableIdentity").get<FileIdentity>();
  result.backendIdentity = jsonio::requireMember(json, "backendIdentity").get<FileIdentity>();
  installation = std::move(result);
}

}  // namespace korvelin
