#pragma once

// The record of a verified installed application (every supported vendor,
// not only Codex): what was inspected and proven about its bundle, compared
// field by field again before a launch.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/files/FileSystemSecurity.h"
#include "core/profile/AppProfile.h"

namespace korvelin {

enum class CodexCompatibilityStatus { verified, locallyVerified, unverifiedVersion };

std::string_view rawValue(CodexCompatibilityStatus status);
std::optional<CodexCompatibilityStatus> codexCompatibilityStatusFromRawValue(std::string_view text);

// Whether an installation with this status may be launched: one verified by
// its vendor's version list, or one the user had checked on this machine.
constexpr bool isLaunchApproved(CodexCompatibilityStatus status) {
  return status != CodexCompatibilityStatus::unverifiedVersion;
}

struct CodexInstallation {
  std::string bundleURL;  // standardized file URL of the bundle, ending in "/"
  std::string displayName;
  std::string bundleIdentifier;
  std::string marketingVersion;
  std::string buildVersion;
  std::string executableURL;
  // Codex's backend executable; the main executable again for other vendors.
  std::string backendURL;
  std::vector<std::string> architectures;
  std::string signingTeamIdentifier;
  std::string codeDirectoryHash;  // lower-case hexadecimal
  CodexCompatibilityStatus compatibilityStatus = CodexCompatibilityStatus::verified;
  FileIdentity executableIdentity;
  FileIdentity backendIdentity;

  // The bundle's path (the URL's path, without the trailing "/").
  std::optional<std::string> bundlePath() const;

  bool operator==(const CodexInstallation&) const = default;
};

// The reference a profile keeps: display name, bundle identifier, bundle
// path, marketing and build version of the installation.
ProfileApplicationReference applicationReference(const CodexInstallation& installation);

// JSON object keyed by the field names, each exactly once; the three URLs
// as "file://" URLs, the status as its raw value, identities as FileIdentity
// objects. Decoding throws jsonio::ShapeError (or nlohmann errors) for
// anything else.
void to_json(nlohmann::json& json, const CodexInstallation& installation);
void from_json(const nlohmann::json& json, CodexInstallation& installation);

}  // namespace korvelin
