#pragma once

// Inspection of the ChatGPT desktop bundle that ships Codex. Beyond what every
// bundle must prove, Codex has a second executable, its backend, verified
// with the bundle; and only known version pairs, or pairs the user had
// checked on this machine (CodexCompatibilityApprovalStore), are approved for
// launching:
//
//   CodexBundleInspector inspector(CodexCompatibilityApprovalStore(base, preparer));
//   CodexInstallation codex = inspector.inspect("/Applications/ChatGPT.app");
//   if (!isLaunchApproved(codex.compatibilityStatus)) ... // run the probe first
//
// The backend is "Contents/Resources/codex" when anything is there (a link
// there is refused, not passed over), else the command-line application
// nested at "Contents/Resources/codex-cli/CodexCLI.app/Contents/MacOS/codex".

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/apps/BundleInspector.h"
#include "core/apps/CodexCompatibilityApprovalStore.h"

namespace korvelin {

struct CodexVersionPair {
  std::string marketingVersion;
  std::string buildVersion;

  auto operator<=>(const CodexVersionPair&) const = default;
};

class CodexBundleInspector : public BundleInspector {
 public:
  static constexpr std::string_view verifiedMarketingVersion = "26.901.51231";
  static constexpr std::string_view verifiedBuildVersion = "8109";
  static constexpr std::string_view currentVerifiedMarketingVersion = "26.903.61454";
  static constexpr std::string_view currentVerifiedBuildVersion = "8378";
  static const std::set<CodexVersionPair> verifiedVersionPairs;

  // Without a store, only the verified pairs are approved.
  explicit CodexBundleInspector(
      std::optional<CodexCompatibilityApprovalStore> approvalStore,
      std::shared_ptr<const CodeSignatureValidating> signatureValidator = {},
      std::shared_ptr<const ArchitectureInspecting> architectureInspector = {});

  const std::optional<CodexCompatibilityApprovalStore>& approvalStore() const {
    return approvalStore_;
  }

  // The shared inspection, then the backend (missingBackend naming the
  // nested path when neither exists; unsafeBundleMember or
  // bundleMemberNotExecutable for one that is not a safe executable) and the
  // compatibility status (a store that cannot be read fails the inspection).
  CodexInstallation inspect(const std::string& bundlePath) const override;

  // Where the backend of the bundle at `bundlePath` is looked for.
  static std::string backendPath(const std::string& bundlePath);

 private:
  std::optional<CodexCompatibilityApprovalStore> approvalStore_;
};

}  // namespace korvelin
