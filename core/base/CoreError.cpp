#include "core/base/CoreError.h"

#include <array>

#include "core/platform/FileUtil.h"

namespace korvelin {

namespace {

enum class Rule : std::uint8_t {
  prefix,       // fixed prefix + detail + "."
  identifier,   // words + upper-case UUID + words
  passThrough,  // the detail itself
  fixed,        // a fixed sentence; the payload is not shown
  pair,         // a + first + b + second + c
};

struct CaseText {
  Rule rule;
  const char* a;
  const char* b;
  const char* c;
};

constexpr std::array<CaseText, KorvelinCoreError::kCaseCount> kTexts = {{
    {Rule::prefix, "Codex bundle not found at ", "", ""},  // bundleNotFound
    {Rule::prefix, "Invalid Info.plist at ", "", ""},  // invalidInfoPlist
    {Rule::prefix, "Missing bundle version value: ", "", ""},  // missingBundleVersion
    {Rule::prefix, "Unsupported bundle identifier: ", "", ""},  // unsupportedBundleIdentifier
    {Rule::prefix, "Untrusted Codex code signature: ", "", ""},  // untrustedCodeSignature
    {Rule::prefix, "Missing bundle executable: ", "", ""},  // missingExecutable
    {Rule::prefix, "Missing Codex backend: ", "", ""},  // missingBackend
    {Rule::prefix, "Unsafe bundle member: ", "", ""},  // unsafeBundleMember
    {Rule::prefix, "Bundle member is not executable: ", "", ""},  // bundleMemberNotExecutable
    {Rule::prefix, "Could not inspect executable architectures: ", "", ""},  // architectureInspectionFailed
    {Rule::pair, "Codex version ", " (", ") is not verified."},  // unverifiedVersion
    {Rule::prefix, "Unsafe profile base: ", "", ""},  // unsafeProfileBase
    {Rule::prefix, "Unsafe profile path: ", "", ""},  // unsafeProfilePath
    {Rule::prefix, "The profile configuration file does not exist at ", "", ""},  // profileConfigurationNotFound
    {Rule::prefix, "The profile configuration is unavailable: ", "", ""},  // profileConfigurationUnavailable
    {Rule::prefix, "Could not prepare profile: ", "", ""},  // profilePreparationFailed
    {Rule::passThrough, "", "", ""},  // invalidEnvironmentVariables
    {Rule::passThrough, "", "", ""},  // invalidLaunchArguments
    {Rule::passThrough, "", "", ""},  // invalidProxyConfiguration
    {Rule::passThrough, "", "", ""},  // proxyConnectionStorageFailed
    {Rule::identifier, "Profile ", " already exists or has an incomplete directory.", ""},  // profileAlreadyExists
    {Rule::identifier, "Profile ", " was not found.", ""},  // profileNotFound
    {Rule::fixed, "Stop the profile before editing its settings.", "", ""},  // profileUpdateBlocked
    {Rule::fixed, "The profile cannot be deleted while its process state is active or uncertain.", "", ""},  // profileDeletionBlocked
    {Rule::prefix, "Could not delete profile: ", "", ""},  // profileDeletionFailed
    {Rule::prefix, "Unsafe profile catalog: ", "", ""},  // unsafeProfileCatalog
    {Rule::prefix, "Invalid profile catalog: ", "", ""},  // invalidProfileCatalog
    {Rule::prefix, "Could not save profile catalog: ", "", ""},  // profileCatalogWriteFailed
    {Rule::identifier, "Profile ", " may be visible, but catalog durability is unconfirmed.", ""},  // profileCatalogCommitUncertain
    {Rule::identifier, "Profile ", " already has a supervised run.", ""},  // alreadyRunning
    {Rule::identifier, "Profile ", " requires recovery before launch.", ""},  // profileRecoveryRequired
    {Rule::prefix, "Could not create a safe launch log: ", "", ""},  // logCreationFailed
    {Rule::prefix, "Could not launch process: ", "", ""},  // processLaunchFailed
    {Rule::identifier, "Process identity for profile ", " is no longer safe.", ""},  // processIdentityLost
    {Rule::identifier, "Profile ", " is not supervised.", ""},  // notRunning
    {Rule::identifier, "Profile ", " did not stop before the timeout.", ""},  // stopTimedOut
    {Rule::prefix, "Could not save Codex compatibility approval: ", "", ""},  // compatibilityApprovalFailed
    {Rule::prefix, "Codex compatibility check failed: ", "", ""},  // compatibilityCheckFailed
    {Rule::prefix, "Stable Korvelin signing is required: ", "", ""},  // stableSigningRequired
    {Rule::pair, "Keychain ", " failed with status ", "."},  // keychainOperationFailed
    {Rule::prefix, "Keychain self-test failed: ", "", ""},  // keychainSelfTestFailed
    {Rule::fixed, "The YouTrack credential is unavailable in this Korvelin build.", "", ""},  // youTrackCredentialUnavailable
    {Rule::prefix, "Could not configure the managed YouTrack integration: ", "", ""},  // youTrackMCPConfigurationFailed
    {Rule::prefix, "Codex usage protocol failed: ", "", ""},  // codexUsageProtocolFailed
    {Rule::prefix, "Claude launch is not authorized: ", "", ""},  // claudeLaunchNotAuthorized
    {Rule::fixed, "The Codex installation changed after the launch plan was created.", "", ""},  // installationChanged
    {Rule::fixed, "Profile name must contain between 1 and 60 characters.", "", ""},  // invalidProfileName
    {Rule::fixed, "Proxy connection name must contain between 1 and 60 characters.", "", ""},  // invalidProxyConnectionName
    {Rule::fixed, "The VLESS link is invalid or uses unsupported settings.", "", ""},  // invalidVLESSConfiguration
    {Rule::fixed, "A proxy connection with this name already exists.", "", ""},  // duplicateProxyConnectionName
    {Rule::fixed, "You can save up to 50 proxy connections.", "", ""},  // proxyConnectionLimitReached
    {Rule::fixed, "This proxy connection already exists.", "", ""},  // proxyConnectionAlreadyExists
    {Rule::fixed, "The selected proxy connection no longer exists.", "", ""},  // proxyConnectionNotFound
    {Rule::fixed, "This proxy connection is used by an application profile.", "", ""},  // proxyConnectionInUse
    {Rule::fixed, "The embedded Xray helper is missing or unsafe.", "", ""},  // xrayUnavailable
    {Rule::fixed, "The proxy connection could not be verified. Codex was not launched.", "", ""},  // proxyPreflightFailed
    {Rule::fixed, "Proxy disconnected. The managed Codex profile is being stopped.", "", ""},  // proxyDisconnected
    {Rule::fixed, "Profile catalog exceeds the 1 MiB limit.", "", ""},  // profileCatalogTooLarge
    {Rule::fixed, "The process plan belongs to a different profile identifier.", "", ""},  // profileIdentifierMismatch
    {Rule::fixed, "Stop timeout must be greater than zero.", "", ""},  // invalidStopTimeout
    {Rule::fixed, "Run identifier does not match the supervised run.", "", ""},  // runIdentityMismatch
    {Rule::fixed, "The managed process group has not stopped and cannot be confirmed.", "", ""},  // completionNotReady
    {Rule::fixed, "Credential secret must not be empty.", "", ""},  // invalidCredentialSecret
    {Rule::fixed, "The YouTrack token is invalid.", "", ""},  // invalidYouTrackToken
    {Rule::fixed, "The YouTrack integration is not configured.", "", ""},  // youTrackCredentialNotConfigured
    {Rule::fixed, "The local YouTrack gateway is unavailable.", "", ""},  // youTrackGatewayUnavailable
    {Rule::fixed, "Stop all managed profiles before replacing or deleting the YouTrack token.", "", ""},  // youTrackCredentialMutationBlocked
}};

#define KORVELIN_NAME(name, kind) #name,
constexpr std::array<std::string_view, KorvelinCoreError::kCaseCount> kCodes = {
    KORVELIN_CORE_ERROR_CASES(KORVELIN_NAME)};
#undef KORVELIN_NAME

struct Describe {
  const CaseText& text;
  std::string operator()(std::monostate) const { return text.a; }
  std::string operator()(const std::string& detail) const {
    if (text.rule == Rule::passThrough) return detail;
    if (text.rule == Rule::fixed) return text.a;
    return text.a + detail + ".";
  }
  std::string operator()(const Uuid& id) const {
    if (text.rule == Rule::fixed) return text.a;
    return text.a + id.uppercaseString() + text.b;
  }
  std::string operator()(const std::pair<std::string, std::string>& p) const {
    return text.a + p.first + text.b + p.second + text.c;
  }
  std::string operator()(const std::pair<std::string, std::int32_t>& p) const {
    return text.a + p.first + text.b + std::to_string(p.second) + text.c;
  }
  std::string operator()(std::int32_t) const { return text.a; }
};

}  // namespace

KorvelinCoreError::KorvelinCoreError(Case errorCase, Payload payload)
    : case_(errorCase), payload_(std::move(payload)) {
  description_ = std::visit(Describe{kTexts[static_cast<std::size_t>(case_)]}, payload_);
}

const std::string& KorvelinCoreError::detail() const noexcept {
  static const std::string empty;
  const auto* text = std::get_if<std::string>(&payload_);
  return text ? *text : empty;
}

std::string_view KorvelinCoreError::codeOf(Case errorCase) noexcept {
  return kCodes[static_cast<std::size_t>(errorCase)];
}

#define KORVELIN_DEFINE_Text(name)                              \
  KorvelinCoreError KorvelinCoreError::name(std::string detail) { \
    return KorvelinCoreError(Case::name, std::move(detail));      \
  }
#define KORVELIN_DEFINE_Id(name)                                       \
  KorvelinCoreError KorvelinCoreError::name(const Uuid& profileID) { \
    return KorvelinCoreError(Case::name, profileID);                   \
  }
#define KORVELIN_DEFINE_VersionPair(name)                                                  \
  KorvelinCoreError KorvelinCoreError::name(std::string marketing, std::string build) { \
    return KorvelinCoreError(Case::name, std::pair{std::move(marketing), std::move(build)}); \
  }
#define KORVELIN_DEFINE_OperationStatus(name)                                               \
  KorvelinCoreError KorvelinCoreError::name(std::string operation, std::int32_t status) { \
    return KorvelinCoreError(Case::name, std::pair{std::move(operation), status});          \
  }
#define KORVELIN_DEFINE_Status(name)                              \
  KorvelinCoreError KorvelinCoreError::name(std::int32_t status) { \
    return KorvelinCoreError(Case::name, status);                  \
  }
#define KORVELIN_DEFINE_None(name) \
  KorvelinCoreError KorvelinCoreError::name() { return KorvelinCoreError(Case::name, std::monostate{}); }
#define KORVELIN_DEFINE(name, kind) KORVELIN_DEFINE_##kind(name)
KORVELIN_CORE_ERROR_CASES(KORVELIN_DEFINE)

}  // namespace korvelin

namespace korvelin {

ErrorFactory::ErrorFactory(KorvelinCoreError (*textCase)(std::string detail))
    : make_([textCase](const std::string& detail) { return textCase(detail); }) {}

ErrorFactory ErrorFactory::always(KorvelinCoreError error,
                                  std::function<void(const std::string&)> report) {
  return ErrorFactory(
      [error = std::move(error), report = std::move(report)](const std::string& detail) {
        if (report)
          report(detail);
        return error;
      });
}

KorvelinCoreError ErrorFactory::failed(int errnum,
                                       std::string_view step,
                                       std::string_view subject) const {
  return make_(failureDetail(errnum, step, subject));
}

std::string failureDetail(int errnum, std::string_view step, std::string_view subject) {
  std::string detail(step);
  detail += " failed for ";
  detail += subject;
  detail += ": ";
  detail += platform::errorText(errnum);
  return detail;
}

}  // namespace korvelin
