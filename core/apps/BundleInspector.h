#pragma once

// Inspects an installed application bundle and proves what it is: the
// vendor's signature, the Info.plist's identity and versions, a safe main
// executable inside the bundle, its architectures. The result is the
// installation record profiles keep and launches compare against.
//
//   const auto inspector = makeBundleInspector(ManagedApplicationSupport::chromeAdapterIdentifier);
//   CodexInstallation installation = inspector->inspect("/opt/Google Chrome.app");
//
// Tests pass their own validator or architecture reader to the constructor.
// A vendor with more to prove (Codex's backend) derives and overrides
// `inspect`, calling this one first; `makeBundleInspector` is where it is
// chosen.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/apps/CodeSignatureValidating.h"
#include "core/apps/CodexCompatibilityApprovalStore.h"
#include "core/apps/CodexInstallation.h"
#include "core/apps/MachOArchitectureInspector.h"
#include "core/apps/ManagedApplicationSupport.h"

namespace korvelin {

class InfoPlist;

class BundleInspector {
 public:
  // Null collaborators are the platform's validator and the Mach-O reader.
  explicit BundleInspector(
      const ManagedApplication& application,
      std::shared_ptr<const CodeSignatureValidating> signatureValidator = {},
      std::shared_ptr<const ArchitectureInspecting> architectureInspector = {});
  virtual ~BundleInspector() = default;

  const ManagedApplication& application() const { return application_; }
  std::string requirement() const { return application_.requirement(); }
  const CodeSignatureValidating& signatureValidator() const { return *signatureValidator_; }

  // Throws the first failure: bundleNotFound, unsafeBundleMember, the
  // validator's errors, untrustedCodeSignature ("unexpected team identifier
  // X"), invalidInfoPlist, unsupportedBundleIdentifier, missingBundleVersion,
  // missingExecutable, architectureInspectionFailed.
  virtual CodexInstallation inspect(const std::string& bundlePath) const;

  // "Contents/MacOS/" + CFBundleExecutable inside the bundle, checked to be
  // a regular executable reached without links: its path and identity.
  // missingExecutable when the key is absent or empty (naming the key) or the
  // file does not exist (naming the path).
  static std::pair<std::string, FileIdentity> mainExecutable(const std::string& bundlePath,
                                                             const InfoPlist& plist);

  // The standardized path of a bundle directory reached without any link:
  // bundleNotFound when there is no directory, unsafeBundleMember for a link.
  static std::string requireBundleDirectory(const std::string& bundlePath);

 private:
  const ManagedApplication& application_;
  std::shared_ptr<const CodeSignatureValidating> signatureValidator_;
  std::shared_ptr<const ArchitectureInspecting> architectureInspector_;
};

// The inspector of the application an adapter drives; null for an unknown
// adapter identifier.
// Codex's reads `approvals` to tell which of its unknown versions were
// checked on this machine; without it only the verified versions pass.
std::unique_ptr<BundleInspector> makeBundleInspector(
    std::string_view adapterIdentifier,
    const std::optional<CodexCompatibilityApprovalStore>& approvals = std::nullopt);

// The supported application a bundle claims to be, by the identifier in its
// Info.plist (only a claim until inspection proves it): the bundle's own
// checks first, then invalidInfoPlist, or unsupportedBundleIdentifier for an
// identifier none of them has.
const ManagedApplication& claimedApplication(const std::string& bundlePath);

// Inspects the bundle as `application`, or as the application it claims to
// be when that is null.
CodexInstallation inspectInstalledApplication(
    const std::string& bundlePath,
    const ManagedApplication* application = nullptr,
    const std::optional<CodexCompatibilityApprovalStore>& approvals = std::nullopt);

}  // namespace korvelin
