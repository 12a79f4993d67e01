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
// of payload it carries. Cases carrying a payload come first.
#define KORVELIN_CORE_ERROR_CASES(X) \
  X(bundleNotFound, Text) \
  X(invalidInfoPlist, Text) \
  X(missingBundleVersion, Text) \
  X(unsupportedBundleIdentifier, Text) \
  X(untrustedCodeSignature, Text) \
  X(missingExecutable, Text) \
  X(missingBackend, Text) \
  X(unsafeBundleMember, Text) \
  X(bundleMemberNotExecutable, Text) \
  X(architectureInspectionFailed, Text) \
  X(unverifiedVersion, VersionPair) \
  X(unsafeProfileBase, Text) \
  X(unsafeProfilePath, Text) \
  X(profileConfigurationNotFound, Text) \
  X(profileConfigurationUnavailable, Text) \
  X(profilePreparationFailed, Text) \
  X(invalidEnvironmentVariables, Text) \
  X(invalidLaunchArguments, Text) \
  X(invalidProxyConfiguration, Text) \
  X(proxyConnectionStorageFailed, Text) \
  X(profileAlreadyExists, Id) \
  X(profileNotFound, Id) \
  X(profileUpdateBlocked, Id) \
  X(profileDeletionBlocked, Id) \
  X(profileDeletionFailed, Text) \
  X(unsafeProfileCatalog, Text) \
  X(invalidProfileCatalog, Text) \
  X(profileCatalogWriteFailed, Text) \
  X(profileCatalogCommitUncertain, Id) \
  X(alreadyRunning, Id) \
  X(profileRecoveryRequired, Id) \
  X(logCreationFailed, Text) \
  X(processLaunchFailed, Text) \
  X(processIdentityLost, Id) \
  X(notRunning, Id) \
  X(stopTimedOut, Id) \
  X(compatibilityApprovalFailed, Text) \
  X(compatibilityCheckFailed, Text) \
  X(stableSigningRequired, Text) \
  X(keychainOperationFailed, OperationStatus) \
  X(keychainSelfTestFailed, Text) \
  X(youTrackCredentialUnavailable, Status) \
  X(youTrackMCPConfigurationFailed, Text) \
  X(codexUsageProtocolFailed, Text) \
  X(claudeLaunchNotAuthorized, Text) \
  X(installationChanged, None) \
  X(invalidProfileName, None) \
  X(invalidProxyConnectionName, None) \
  X(invalidVLESSConfiguration, None) \
  X(duplicateProxyConnectionName, None) \
  X(proxyConnectionLimitReached, None) \
  X(proxyConnectionAlreadyExists, None) \
  X(proxyConnectionNotFound, None) \
  X(proxyConnectionInUse, None) \
  X(xrayUnavailable, None) \
  X(proxyPreflightFailed, None) \
  X(proxyDisconnected, None) \
  X(profileCatalogTooLarge, None) \
  X(profileIdentifierMismatch, None) \
  X(invalidStopTimeout, None) \
  X(runIdentityMismatch, None) \
  X(completionNotReady, None) \
  X(invalidCredentialSecret, None) \
  X(invalidYouTrackToken, None) \
  X(youTrackCredentialNotConfigured, None) \
  X(youTrackGatewayUnavailable, None) \
  X(youTrackCredentialMutationBlocked, None)

// The one error type the library throws. Each case has a stable `code` (its
// name) and a fixed English description; `what()` returns the description.
class KorvelinCoreError : public std::exception {
 public:
#define KORVELIN_ENUMERATOR(name, kind) name,
  enum class Case : std::uint8_t { KORVELIN_CORE_ERROR_CASES(KORVELIN_ENUMERATOR) };
#undef KORVELIN_ENUMERATOR
  static constexpr std::size_t kCaseCount = 67;

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
#define KORVELIN_FACTORY(name, kind) KORVELIN_FACTORY_##kind(name)
  KORVELIN_CORE_ERROR_CASES(KORVELIN_FACTORY)
#undef KORVELIN_FACTORY
#undef KORVELIN_FACTORY_Text
#undef KORVELIN_FACTORY_Id
#undef KORVELIN_FACTORY_VersionPair
#undef KORVELIN_FACTORY_OperationStatus
#undef KORVELIN_FACTORY_Status
#undef KORVELIN_FACTORY_None

  Case errorCase() const noexcept { return case_; }
  std::string_view code() const noexcept { return codeOf(case_); }
  const std::string& errorDescription() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  // The detail text of a text-carrying case; empty for every other case.
  const std::string& detail() const noexcept;
  // The profile identifier of an identifier-carrying case.
  const Uuid* profileID() const noexcept { return std::get_if<Uuid>(&payload_); }

  static std::string_view codeOf(Case errorCase) noexcept;

  friend bool operator==(const KorvelinCoreError& a, const KorvelinCoreError& b) {
    return a.case_ == b.case_ && a.payload_ == b.payload_;
  }

 private:
  using Payload = std::variant<std::monostate, std::string, Uuid,
                               std::pair<std::string, std::string>,
                               std::pair<std::string, std::int32_t>, std::int32_t>;
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
