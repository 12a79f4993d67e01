#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <vector>

#include "core/base/CoreError.h"

namespace korvelin {
namespace {

using E = KorvelinCoreError;
const Uuid kId = *Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");

struct Row {
  E error;
  const char* code;
  const char* description;
};

// Every case in declaration order with its pinned code and description. A
// detail ending in "." shows that the prefix rule always appends one more.
const std::vector<Row>& rows() {
  static const std::vector<Row> table = {
      {E::bundleNotFound("d/x."), "bundleNotFound", "Codex bundle not found at d/x.."},
      {E::invalidInfoPlist("d/x."), "invalidInfoPlist", "Invalid Info.plist at d/x.."},
      {E::missingBundleVersion("d/x."), "missingBundleVersion", "Missing bundle version value: d/x.."},
      {E::unsupportedBundleIdentifier("d/x."), "unsupportedBundleIdentifier", "Unsupported bundle identifier: d/x.."},
      {E::untrustedCodeSignature("d/x."), "untrustedCodeSignature", "Untrusted Codex code signature: d/x.."},
      {E::missingExecutable("d/x."), "missingExecutable", "Missing bundle executable: d/x.."},
      {E::missingBackend("d/x."), "missingBackend", "Missing Codex backend: d/x.."},
      {E::unsafeBundleMember("d/x."), "unsafeBundleMember", "Unsafe bundle member: d/x.."},
      {E::bundleMemberNotExecutable("d/x."), "bundleMemberNotExecutable", "Bundle member is not executable: d/x.."},
      {E::architectureInspectionFailed("d/x."), "architectureInspectionFailed", "Could not inspect executable architectures: d/x.."},
      {E::unverifiedVersion("26.1", "1234"), "unverifiedVersion", "Codex version 26.1 (1234) is not verified."},
      {E::unsafeProfileBase("d/x."), "unsafeProfileBase", "Unsafe profile base: d/x.."},
      {E::unsafeProfilePath("d/x."), "unsafeProfilePath", "Unsafe profile path: d/x.."},
      {E::profileConfigurationNotFound("d/x."), "profileConfigurationNotFound", "The profile configuration file does not exist at d/x.."},
      {E::profileConfigurationUnavailable("d/x."), "profileConfigurationUnavailable", "The profile configuration is unavailable: d/x.."},
      {E::profilePreparationFailed("d/x."), "profilePreparationFailed", "Could not prepare profile: d/x.."},
      {E::invalidEnvironmentVariables("d/x."), "invalidEnvironmentVariables", "d/x."},
      {E::invalidLaunchArguments("d/x."), "invalidLaunchArguments", "d/x."},
      {E::invalidProxyConfiguration("d/x."), "invalidProxyConfiguration", "d/x."},
      {E::proxyConnectionStorageFailed("d/x."), "proxyConnectionStorageFailed", "d/x."},
      {E::profileAlreadyExists(kId), "profileAlreadyExists", "Profile E621E1F8-C36C-495A-93FC-0C247A3E6E5F already exists or has an incomplete directory."},
      {E::profileNotFound(kId), "profileNotFound", "Profile E621E1F8-C36C-495A-93FC-0C247A3E6E5F was not found."},
      {E::profileUpdateBlocked(kId), "profileUpdateBlocked", "Stop the profile before editing its settings."},
      {E::profileDeletionBlocked(kId), "profileDeletionBlocked", "The profile cannot be deleted while its process state is active or uncertain."},
      {E::profileDeletionFailed("d/x."), "profileDeletionFailed", "Could not delete profile: d/x.."},
      {E::unsafeProfileCatalog("d/x."), "unsafeProfileCatalog", "Unsafe profile catalog: d/x.."},
      {E::invalidProfileCatalog("d/x."), "invalidProfileCatalog", "Invalid profile catalog: d/x.."},
      {E::profileCatalogWriteFailed("d/x."), "profileCatalogWriteFailed", "Could not save profile catalog: d/x.."},
      {E::profileCatalogCommitUncertain(kId), "profileCatalogCommitUncertain", "Profile E621E1F8-C36C-495A-93FC-0C247A3E6E5F may be visible, but catalog durability is unconfirmed."},
      {E::alreadyRunning(kId), "alreadyRunning", "Profile E621E1F8-C36C-495A-93FC-0C247A3E6E5F already has a supervised run."},
      {E::profileRecoveryRequired(kId), "profileRecoveryRequired", "Profile E621E1F8-C36C-495A-93FC-0C247A3E6E5F requires recovery before launch."},
      {E::logCreationFailed("d/x."), "logCreationFailed", "Could not create a safe launch log: d/x.."},
      {E::processLaunchFailed("d/x."), "processLaunchFailed", "Could not launch process: d/x.."},
      {E::processIdentityLost(kId), "processIdentityLost", "Process identity for profile E621E1F8-C36C-495A-93FC-0C247A3E6E5F is no longer safe."},
      {E::notRunning(kId), "notRunning", "Profile E621E1F8-C36C-495A-93FC-0C247A3E6E5F is not supervised."},
      {E::stopTimedOut(kId), "stopTimedOut", "Profile E621E1F8-C36C-495A-93FC-0C247A3E6E5F did not stop before the timeout."},
      {E::compatibilityApprovalFailed("d/x."), "compatibilityApprovalFailed", "Could not save Codex compatibility approval: d/x.."},
      {E::compatibilityCheckFailed("d/x."), "compatibilityCheckFailed", "Codex compatibility check failed: d/x.."},
      {E::stableSigningRequired("d/x."), "stableSigningRequired", "Stable Korvelin signing is required: d/x.."},
      {E::keychainOperationFailed("read", -25300), "keychainOperationFailed", "Keychain read failed with status -25300."},
      {E::keychainSelfTestFailed("d/x."), "keychainSelfTestFailed", "Keychain self-test failed: d/x.."},
      {E::youTrackCredentialUnavailable(-25300), "youTrackCredentialUnavailable", "The YouTrack credential is unavailable in this Korvelin build."},
      {E::youTrackMCPConfigurationFailed("d/x."), "youTrackMCPConfigurationFailed", "Could not configure the managed YouTrack integration: d/x.."},
      {E::codexUsageProtocolFailed("d/x."), "codexUsageProtocolFailed", "Codex usage protocol failed: d/x.."},
      {E::claudeLaunchNotAuthorized("d/x."), "claudeLaunchNotAuthorized", "Claude launch is not authorized: d/x.."},
      {E::installationChanged(), "installationChanged", "The Codex installation changed after the launch plan was created."},
      {E::invalidProfileName(), "invalidProfileName", "Profile name must contain between 1 and 60 characters."},
      {E::invalidProxyConnectionName(), "invalidProxyConnectionName", "Proxy connection name must contain between 1 and 60 characters."},
      {E::invalidVLESSConfiguration(), "invalidVLESSConfiguration", "The VLESS link is invalid or uses unsupported settings."},
      {E::duplicateProxyConnectionName(), "duplicateProxyConnectionName", "A proxy connection with this name already exists."},
      {E::proxyConnectionLimitReached(), "proxyConnectionLimitReached", "You can save up to 50 proxy connections."},
      {E::proxyConnectionAlreadyExists(), "proxyConnectionAlreadyExists", "This proxy connection already exists."},
      {E::proxyConnectionNotFound(), "proxyConnectionNotFound", "The selected proxy connection no longer exists."},
      {E::proxyConnectionInUse(), "proxyConnectionInUse", "This proxy connection is used by an application profile."},
      {E::xrayUnavailable(), "xrayUnavailable", "The embedded Xray helper is missing or unsafe."},
      {E::proxyPreflightFailed(), "proxyPreflightFailed", "The proxy connection could not be verified. Codex was not launched."},
      {E::proxyDisconnected(), "proxyDisconnected", "Proxy disconnected. The managed Codex profile is being stopped."},
      {E::profileCatalogTooLarge(), "profileCatalogTooLarge", "Profile catalog exceeds the 1 MiB limit."},
      {E::profileIdentifierMismatch(), "profileIdentifierMismatch", "The process plan belongs to a different profile identifier."},
      {E::invalidStopTimeout(), "invalidStopTimeout", "Stop timeout must be greater than zero."},
      {E::runIdentityMismatch(), "runIdentityMismatch", "Run identifier does not match the supervised run."},
      {E::completionNotReady(), "completionNotReady", "The managed process group has not stopped and cannot be confirmed."},
      {E::invalidCredentialSecret(), "invalidCredentialSecret", "Credential secret must not be empty."},
      {E::invalidYouTrackToken(), "invalidYouTrackToken", "The YouTrack token is invalid."},
      {E::youTrackCredentialNotConfigured(), "youTrackCredentialNotConfigured", "The YouTrack integration is not configured."},
      {E::youTrackGatewayUnavailable(), "youTrackGatewayUnavailable", "The local YouTrack gateway is unavailable."},
      {E::youTrackCredentialMutationBlocked(), "youTrackCredentialMutationBlocked", "Stop all managed profiles before replacing or deleting the YouTrack token."},
  };
  return table;
}

TEST(CoreErrorTest, EveryCaseHasItsCodeAndDescriptionInDeclarationOrder) {
  ASSERT_EQ(rows().size(), E::kCaseCount);
  for (size_t i = 0; i < rows().size(); ++i) {
    const Row& row = rows()[i];
    SCOPED_TRACE(row.code);
    EXPECT_EQ(static_cast<size_t>(row.error.errorCase()), i);
    EXPECT_EQ(row.error.code(), row.code);
    EXPECT_EQ(row.error.errorDescription(), row.description);
    EXPECT_STREQ(row.error.what(), row.description);
  }
}

TEST(CoreErrorTest, CodesAreUnique) {
  std::set<std::string_view> codes;
  for (size_t i = 0; i < E::kCaseCount; ++i) codes.insert(E::codeOf(static_cast<E::Case>(i)));
  EXPECT_EQ(codes.size(), E::kCaseCount);
}

TEST(CoreErrorTest, EqualityComparesCaseAndPayload) {
  const Uuid other = *Uuid::parse("00000000-0000-0000-0000-000000000001");
  EXPECT_EQ(E::profileNotFound(kId), E::profileNotFound(*Uuid::parse(kId.lowercaseString())));
  EXPECT_NE(E::profileNotFound(kId), E::profileNotFound(other));
  EXPECT_NE(E::profileNotFound(kId), E::alreadyRunning(kId));
  EXPECT_EQ(E::unsafeProfilePath("a"), E::unsafeProfilePath("a"));
  EXPECT_NE(E::unsafeProfilePath("a"), E::unsafeProfilePath("b"));
  EXPECT_NE(E::unsafeProfilePath("a"), E::unsafeProfileBase("a"));
  // Payloads that a fixed description hides still take part in equality.
  EXPECT_NE(E::youTrackCredentialUnavailable(1), E::youTrackCredentialUnavailable(2));
  EXPECT_NE(E::profileUpdateBlocked(kId), E::profileUpdateBlocked(other));
}

TEST(CoreErrorTest, DetailIsNotEscapedOrTruncated) {
  const std::string detail = "path contains a symbolic link: /tmp/a\n\"b\"" + std::string(5000, 'x');
  EXPECT_EQ(E::unsafeProfilePath(detail).errorDescription(), "Unsafe profile path: " + detail + ".");
  EXPECT_EQ(E::invalidEnvironmentVariables(detail).errorDescription(), detail);
  EXPECT_EQ(E::unsafeProfilePath(detail).detail(), detail);
  EXPECT_EQ(*E::alreadyRunning(kId).profileID(), kId);
}

TEST(CoreErrorTest, FactoriesServeAsErrorFactories) {
  ErrorFactory factory = &E::logCreationFailed;
  EXPECT_EQ(factory("x"), E::logCreationFailed("x"));
  EXPECT_EQ(factory.failed(ENOENT, "open", "a"),
            E::logCreationFailed("open failed for a: No such file or directory"));
  std::vector<std::string> reported;
  const auto always = ErrorFactory::always(E::alreadyRunning(kId),
                                           [&](const std::string& d) { reported.push_back(d); });
  EXPECT_EQ(always("why"), E::alreadyRunning(kId));
  EXPECT_EQ(reported, std::vector<std::string>{"why"});
}

}  // namespace
}  // namespace korvelin
