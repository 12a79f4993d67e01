#include "core/apps/BundleInspector.h"

#include <climits>
#include <cstdlib>

#include "core/apps/CodexBundleInspector.h"
#include "core/apps/InfoPlist.h"
#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"

namespace korvelin {

namespace {

std::string nonEmptyString(const InfoPlist& plist, const char* key) {
  return plist.string(key).value_or("");
}

}  // namespace

BundleInspector::BundleInspector(
    const ManagedApplication& application,
    std::shared_ptr<const CodeSignatureValidating> signatureValidator,
    std::shared_ptr<const ArchitectureInspecting> architectureInspector)
    : application_(application),
      signatureValidator_(signatureValidator
                              ? std::move(signatureValidator)
                              : std::make_shared<const SecurityCodeSignatureValidator>()),
      architectureInspector_(architectureInspector
                                 ? std::move(architectureInspector)
                                 : std::make_shared<const MachOArchitectureInspector>()) {}

std::pair<std::string, FileIdentity> BundleInspector::mainExecutable(const std::string& bundlePath,
                                                                     const InfoPlist& plist) {
  const std::string name = nonEmptyString(plist, "CFBundleExecutable");
  if (name.empty())
    throw KorvelinCoreError::missingExecutable("CFBundleExecutable");
  const std::string executable = bundlePath + "/Contents/MacOS/" + name;
  try {
    return {executable, SecureFileSystem::requireRegularExecutable(executable, bundlePath)};
  } catch (const KorvelinCoreError&) {
    bool exists = true;
    try {
      exists = SecureFileSystem::metadata(executable).has_value();
    } catch (const KorvelinCoreError&) {
    }
    if (!exists)
      throw KorvelinCoreError::missingExecutable(executable);
    throw;
  }
}

std::string BundleInspector::requireBundleDirectory(const std::string& path) {
  const std::string bundle = standardizedPath(path);
  std::optional<FileMetadata> found;
  try {
    found = SecureFileSystem::metadata(bundle);
  } catch (const KorvelinCoreError&) {
  }
  // A link in the bundle's place is unsafe, not missing, even when it leads
  // to the genuine application.
  if (found && found->kind() == FileMetadata::Kind::symbolicLink)
    throw KorvelinCoreError::unsafeBundleMember(path);
  if (!found || found->kind() != FileMetadata::Kind::directory)
    throw KorvelinCoreError::bundleNotFound(path);
  if (resolvedPath(bundle) != bundle)
    throw KorvelinCoreError::unsafeBundleMember(path);
  return bundle;
}

CodexInstallation BundleInspector::inspect(const std::string& path) const {
  const std::string bundle = requireBundleDirectory(path);

  const CodeSignatureIdentity signature =
      signatureValidator_->validateCode(bundle, application_.requirement());
  if (signature.teamIdentifier != application_.teamIdentifier)
    throw KorvelinCoreError::untrustedCodeSignature("unexpected team identifier " +
                                                    signature.teamIdentifier);

  const InfoPlist plist = InfoPlist::read(bundle + "/Contents/Info.plist");
  const std::string identifier = nonEmptyString(plist, "CFBundleIdentifier");
  if (identifier != application_.bundleIdentifier)
    throw KorvelinCoreError::unsupportedBundleIdentifier(identifier);
  CodexInstallation installation;
  for (auto [key, field] : {std::pair{"CFBundleShortVersionString", &installation.marketingVersion},
                            std::pair{"CFBundleVersion", &installation.buildVersion}}) {
    *field = nonEmptyString(plist, key);
    if (field->empty())
      throw KorvelinCoreError::missingBundleVersion(key);
  }
  const auto [executable, identity] = mainExecutable(bundle, plist);

  installation.architectures = architectureInspector_->architectures(executable);
  installation.displayName =
      plist.string("CFBundleDisplayName")
          .value_or(
              plist.string("CFBundleName").value_or(std::string(application_.defaultDisplayName)));
  installation.bundleURL = fileURLString(bundle, true);
  installation.bundleIdentifier = std::string(application_.bundleIdentifier);
  installation.executableURL = fileURLString(executable, false);
  installation.backendURL = installation.executableURL;
  installation.signingTeamIdentifier = signature.teamIdentifier;
  installation.codeDirectoryHash = signature.codeDirectoryHash;
  installation.compatibilityStatus = CodexCompatibilityStatus::verified;
  installation.executableIdentity = identity;
  installation.backendIdentity = identity;
  return installation;
}

std::unique_ptr<BundleInspector> makeBundleInspector(
    std::string_view adapterIdentifier,
    const std::optional<CodexCompatibilityApprovalStore>& approvals) {
  const ManagedApplication* row = ManagedApplicationSupport::application(adapterIdentifier);
  if (!row)
    return nullptr;
  if (adapterIdentifier == ManagedApplicationSupport::codexAdapterIdentifier)
    return std::make_unique<CodexBundleInspector>(approvals);
  return std::make_unique<BundleInspector>(*row);
}

const ManagedApplication& claimedApplication(const std::string& bundlePath) {
  const std::string bundle = BundleInspector::requireBundleDirectory(bundlePath);
  const std::string identifier =
      nonEmptyString(InfoPlist::read(bundle + "/Contents/Info.plist"), "CFBundleIdentifier");
  const auto* row = ManagedApplicationSupport::applicationForBundleIdentifier(identifier);
  if (!row)
    throw KorvelinCoreError::unsupportedBundleIdentifier(identifier);
  return *row;
}

CodexInstallation inspectInstalledApplication(
    const std::string& bundlePath,
    const ManagedApplication* application,
    const std::optional<CodexCompatibilityApprovalStore>& approvals) {
  if (!application)
    application = &claimedApplication(bundlePath);
  return makeBundleInspector(application->adapterIdentifier, approvals)->inspect(bundlePath);
}

}  // namespace korvelin
