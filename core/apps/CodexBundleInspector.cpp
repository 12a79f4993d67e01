#include "core/apps/CodexBundleInspector.h"

#include <sys/stat.h>

#include <cerrno>

#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"

namespace korvelin {

namespace {

static_assert(ManagedApplicationSupport::applications[0].adapterIdentifier ==
              ManagedApplicationSupport::codexAdapterIdentifier);

bool nothingAt(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

}  // namespace

const std::set<CodexVersionPair> CodexBundleInspector::verifiedVersionPairs = {
    {std::string(verifiedMarketingVersion), std::string(verifiedBuildVersion)},
    {std::string(currentVerifiedMarketingVersion), std::string(currentVerifiedBuildVersion)},
};

CodexBundleInspector::CodexBundleInspector(
    std::optional<CodexCompatibilityApprovalStore> approvalStore,
    std::shared_ptr<const CodeSignatureValidating> signatureValidator,
    std::shared_ptr<const ArchitectureInspecting> architectureInspector)
    : BundleInspector(ManagedApplicationSupport::applications[0],
                      std::move(signatureValidator),
                      std::move(architectureInspector)),
      approvalStore_(std::move(approvalStore)) {}

std::string CodexBundleInspector::backendPath(const std::string& bundlePath) {
  const std::string standalone = appendingPathComponent(bundlePath, "Contents/Resources/codex");
  if (!nothingAt(standalone))
    return standalone;
  return appendingPathComponent(bundlePath,
                                "Contents/Resources/codex-cli/CodexCLI.app/Contents/MacOS/codex");
}

CodexInstallation CodexBundleInspector::inspect(const std::string& bundlePath) const {
  CodexInstallation installation = BundleInspector::inspect(bundlePath);
  const std::string bundle = installation.bundlePath().value_or(bundlePath);
  const std::string backend = backendPath(bundle);
  try {
    installation.backendIdentity = SecureFileSystem::requireRegularExecutable(backend, bundle);
  } catch (const KorvelinCoreError& e) {
    if ((e.errorCase() == KorvelinCoreError::Case::unsafeBundleMember ||
         e.errorCase() == KorvelinCoreError::Case::bundleMemberNotExecutable) &&
        nothingAt(backend))
      throw KorvelinCoreError::missingBackend(backend);
    throw;
  }
  installation.backendURL = fileURLString(backend, false);

  if (verifiedVersionPairs.contains({installation.marketingVersion, installation.buildVersion}))
    installation.compatibilityStatus = CodexCompatibilityStatus::verified;
  else if (approvalStore_ && approvalStore_->isApproved(installation))
    installation.compatibilityStatus = CodexCompatibilityStatus::locallyVerified;
  else
    installation.compatibilityStatus = CodexCompatibilityStatus::unverifiedVersion;
  return installation;
}

}  // namespace korvelin
