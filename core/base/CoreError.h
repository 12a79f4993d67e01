#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/base/Uuid.h"

namespace korvelin {

// Every case of the library's error type, in declaration order, with the kind
// of payload it carries and its English description. Each "{}" of the
// description is replaced by the next piece of the payload, as it is; a
// payload with no "{}" left for it is not shown. Cases carrying a payload
// come first.
#define KORVELIN_CORE_ERROR_CASES(X)                                                            \
  X(bundleNotFound, Text, "Codex bundle not found at {}.")                                      \
  X(invalidInfoPlist, Text, "Invalid Info.plist at {}.")                                        \
  X(missingBundleVersion, Text, "Missing bundle version value: {}.")                            \
  X(unsupportedBundleIdentifier, Text, "Unsupported bundle identifier: {}.")                    \
  X(untrustedCodeSignature, Text, "Untrusted Codex code signature: {}.")                        \
  X(missingExecutable, Text, "Missing bundle executable: {}.")                                  \
  X(missingBackend, Text, "Missing Codex backend: {}.")                                         \
  X(unsafeBundleMember, Text, "Unsafe bundle member: {}.")                                      \
  X(bundleMemberNotExecutable, Text, "Bundle member is not executable: {}.")                    \
  X(architectureInspectionFailed, Text, "Could not inspect executable architectures: {}.")      \
  X(unverifiedVersion, VersionPair, "Codex version {} ({}) is not verified.")                   \
  X(unsafeProfileBase, Text, "Unsafe profile base: {}.")                                        \
  X(unsafeProfilePath, Text, "Unsafe profile path: {}.")                                        \
  X(profileConfigurationNotFound, Text, "The profile configuration file does not exist at {}.") \
  X(profileConfigurationUnavailable, Text, "The profile configuration is unavailable: {}.")     \
  X(profilePreparationFailed, Text, "Could not prepare profile: {}.")                           \
  X(invalidEnvironmentVariables, Text, "{}")                                                    \
  X(invalidLaunchArguments, Text, "{}")                                                         \
  X(invalidProxyConfiguration, Text, "{}")                                                      \
  X(proxyConnectionStorageFailed, Text, "{}")                                                   \
  X(profileAlreadyExists, Id, "Profile {} already exists or has an incomplete directory.")      \
  X(profileNotFound, Id, "Profile {} was not found.")                                           \
  X(profileUpdateBlocked, Id, "Stop the profile before editing its settings.")                  \
  X(profileDeletionBlocked, Id,                                                                 \
    "The profile cannot be deleted while its process state is active or uncertain.")            \
  X(profileDeletionFailed, Text, "Could not delete profile: {}.")                               \
  X(unsafeProfileCatalog, Text, "Unsafe profile catalog: {}.")                                  \
  X(invalidProfileCatalog, Text, "Invalid profile catalog: {}.")                                \
  X(profileCatalogWriteFailed, Text, "Could not save profile catalog: {}.")                     \
  X(profileCatalogCommitUncertain, Id,                                                          \
    "Profile {} may be visible, but catalog durability is unconfirmed.")                        \
  X(alreadyRunning, Id, "Profile {} already has a supervised run.")                             \
  X(profileRecoveryRequired, Id, "Profile {} requires recovery before launch.")                 \
  X(logCreationFailed, Text, "Could not create a safe launch log: {}.")                         \
  X(processLaunchFailed, Text, "Could not launch process: {}.")                                 \
  X(processIdentityLost, Id, "Process identity for profile {} is no longer safe.")              \
  X(notRunning, Id, "Profile {} is not supervised.")                                            \
  X(stopTimedOut, Id, "Profile {} did not stop before the timeout.")                            \
  X(compatibilityApprovalFailed, Text, "Could not save Codex compatibility approval: {}.")      \
  X(compatibilityCheckFailed, Text, "Codex compatibility check failed: {}.")                    \
  X(stableSigningRequired, Text, "Stable Korvelin signing is required: {}.")                    \
  X(keychainOperationFailed, OperationStatus, "Keychain {} failed with status {}.")             \
  X(keychainSelfTestFailed, Text, "Keychain self-test failed: {}.")                             \
  X(youTrackCredentialUnavailable, Status,                                                      \
    "The YouTrack credential is unavailable in this Korvelin build.")                           \
  X(youTrackMCPConfigurationFailed, Text,                                                       \
    "Could not configure the managed YouTrack integration: {}.")                                \
  X(codexUsageProtocolFailed, Text, "Codex usage protocol failed: {}.")                         \
  X(claudeLaunchNotAuthorized, Text, "Claude launch is not authorized: {}.")                    \
  X(installationChanged, None,                                                                  \
    "The Codex installation changed after the launch plan was created.")                        \
  X(invalidProfileName, None, "Profile name must contain between 1 and 60 characters.")         \
  X(invalidProxyConnectionName, None,                                                           \
    "Proxy connection name must contain between 1 and 60 characters.")                          \
  X(invalidVLESSConfiguration, None, "The VLESS link is invalid or uses unsupported settings.") \
  X(duplicateProxyConnectionName, None, "A proxy connection with this name already exists.")    \
  X(proxyConnectionLimitReached, None, "You can save up to 50 proxy connections.")              \
  X(proxyConnectionAlreadyExists, None, "This proxy connection already exists.")                \
  X(proxyConnectionNotFound, None, "The selected proxy connection no longer exists.")           \
  X(proxyConnectionInUse, None, "This proxy connection is used by an application profile.")     \
  X(xrayUnavailable, None, "The embedded Xray helper is missing or unsafe.")                    \
  X(proxyPreflightFailed, None,                                                                 \
    "The proxy connection could not be verified. Codex was not launched.")                      \
  X(proxyDisconnected, None, "Proxy disconnected. The managed Codex profile is being stopped.") \
  X(profileCatalogTooLarge, None, "Profile catalog exceeds the 1 MiB limit.")                   \
  X(profileIdentifierMismatch, None,                                                            \
    "The process plan belongs to a different profile identifier.")                              \
  X(invalidStopTimeout, None, "Stop timeout must be greater than zero.")                        \
  X(runIdentityMismatch, None, "Run identifier does not match the supervised run.")             \
  X(completionNotReady, None,                                                                   \
    "The managed process group has not stopped and cannot be confirmed.")                       \
  X(invalidCredentialSecret, None, "Credential secret must not be empty.")                      \
  X(invalidYouTrackToken, None, "The YouTrack token is invalid.")                               \
  X(youTrackCredentialNotConfigured, None, "The YouTrack integration is not configured.")       \
  X(youTrackGatewayUnavailable, None, "The local YouTrack gateway is unavailable.")             \
  X(youTrackCredentialMutationBlocked, None,                                                    \
    "Stop all managed profiles before replacing or deleting the YouTrack token.")

// The one error type the library throws. Each case has a stable `code` (its
// name) and a fixed English description; `what()` returns the description.
class KorvelinCoreError : public std::exception {
 public:
#define KORVELIN_ENUMERATOR(name, kind, text) name,
  enum class Case : std::uint8_t { KORVELIN_CORE_ERROR_CASES(KORVELIN_ENUMERATOR) };
#undef KORVELIN_ENUMERATOR
  static constexpr std::size_t kCaseCount = 67;
#define KORVELIN_COUNT(name, kind, text) +1
  static_assert(kCaseCount == 0 KORVELIN_CORE_ERROR_CASES(KORVELIN_COUNT));
#undef KORVELIN_COUNT

  // One factory per case, named after it. Text-carrying factories double as
  // an `ErrorFactory`: lower layers build a detail text and let the caller
  // choose the case.
#define KORVELIN_FACTORY_Text(name) static KorvelinCoreError name(std::string detail);
#define KORVELIN_FACTORY_Id(name) static KorvelinCoreError name(const Uuid& profileID);
#define KORVELIN_FACTORY_VersionPair(name) \
  static KorvelinCoreError name(std::string marketing, std::string build);
#define KORVELIN_FACTORY_OperationStatus(name) \
  static KorvelinCoreError name(std::string operation, std::int32_t status);
#define KORVELIN_FACTORY_Status(name) static KorvelinCoreError name(std::int32_t status);
#define KORVELIN_FACTORY_None(name) static KorvelinCoreError name();
#define KORVELIN_FACTORY(name, kind, text) KORVELIN_FACTORY_##kind(name)
  KORVELIN_CORE_ERROR_CASES(KORVELIN_FACTORY)
#undef KORVELIN_FACTORY
#undef KORVELIN_FACTORY_Text
#undef KORVELIN_FACTORY_Id
#undef KORVELIN_FACTORY_VersionPair
#undef KORVELIN_FACTORY_OperationStatus
#undef KORVELIN_FACTORY_Status
#undef KORVELIN_FACTORY_None

  Case errorCase() const noexcept {
    return case_;
  }
  std::string_view code() const noexcept {
    return codeOf(case_);
  }
  const std::string& errorDescription() const noexcept {
    return description_;
  }
  const char* what() const noexcept override {
    return description_.c_str();
  }

  // The detail text of a text-carrying case; empty for every other case.
  const std::string& detail() const noexcept;
  // The profile identifier of an identifier-carrying case.
  const Uuid* profileID() const noexcept {
    return std::get_if<Uuid>(&payload_);
  }

  static std::string_view codeOf(Case errorCase) noexcept;

  friend bool operator==(const KorvelinCoreError& a, const KorvelinCoreError& b) {
    return a.case_ == b.case_ && a.payload_ == b.payload_;
  }

 private:
  using Payload = std::variant<std::monostate,
                               std::string,
                               Uuid,
                               std::pair<std::string, std::string>,
                               std::pair<std::string, std::int32_t>,
                               std::int32_t>;
  KorvelinCoreError(Case errorCase, Payload payload);

  Case case_;
  Payload payload_;
  std::string description_;
};

// How a caller tells a lower layer which error its failures become. The
// lower layer describes what went wrong in a detail text (a step and what it
// was applied to, never a secret); the factory turns it into the error the
// caller wants to throw. A text-carrying case converts implicitly:
// `ErrorFactory error = &KorvelinCoreError::unsafeProfilePath;`.
class ErrorFactory {
 public:
  using Make = std::function<KorvelinCoreError(const std::string& detail)>;

  ErrorFactory(KorvelinCoreError (*textCase)(std::string detail));  // NOLINT: implicit on purpose
  explicit ErrorFactory(Make make) : make_(std::move(make)) {}

  // The same error whatever the detail (for a case that carries none). With
  // `report`, the detail is handed to it first, for logs and diagnostics.
  static ErrorFactory always(KorvelinCoreError error,
                             std::function<void(const std::string& detail)> report = {});

  KorvelinCoreError operator()(const std::string& detail) const { return make_(detail); }
  // "<step> failed for <subject>: <the system's text for errnum>".
  KorvelinCoreError failed(int errnum, std::string_view step, std::string_view subject) const;

 private:
  Make make_;
};

// The detail of `ErrorFactory::failed`.
std::string failureDetail(int errnum, std::string_view step, std::string_view subject);

}  // namespace korvelin
