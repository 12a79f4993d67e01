#pragma once

// Proof that code on disk, or a running (or suspended) process, is what its
// vendor signed. A requirement names the bundle identifier and the signing
// team (`codeRequirement`); the answer is the team and a hash of the code
// that later checks compare.
//
//   SecurityCodeSignatureValidator validator;
//   auto requirement = codeRequirement("com.google.Chrome", "EQHXZ8M8AV");
//   CodeSignatureIdentity onDisk = validator.validateCode(bundlePath, requirement);
//   CodeSignatureIdentity running = validator.validateRunningCode(pid, requirement);
//   // equal hashes: the process runs the code that was inspected
//
// Tests substitute their own CodeSignatureValidating with fixed answers.
//
// macOS: the Security framework checks the Developer ID signature.
// Linux promises less: nothing is signed, so it proves only that the code
// could not have been written by anyone but root or this user since install.
// There it checks what Linux can: the Info.plist identifier against the
// requirement's (for a bundle); the executable and every directory above it
// owned by root or this user and writable by neither group nor others; the
// team is the requirement's own; the hash is SHA-256 over the executable's
// bytes, so an in-place rewrite that keeps size and times is still seen; the
// running form hashes the file the process was started from.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvelin {

struct CodeSignatureIdentity {
  std::string teamIdentifier;
  std::string codeDirectoryHash;  // lower-case hexadecimal

  bool operator==(const CodeSignatureIdentity&) const = default;
};

class CodeSignatureValidating {
 public:
  virtual ~CodeSignatureValidating() = default;
  // `path` is a bundle directory (or a bare executable). Throws.
  virtual CodeSignatureIdentity validateCode(const std::string& path,
                                             const std::string& requirement) const = 0;
  virtual CodeSignatureIdentity validateRunningCode(std::int32_t pid,
                                                    const std::string& requirement) const = 0;
};

// The platform's validator. Failures are `untrustedCodeSignature`; on Linux
// a bundle whose Info.plist or executable cannot be read fails with the
// inspection's own error for it (`invalidInfoPlist`, `missingExecutable`,
// `unsafeBundleMember`), which says more than "not signed".
class SecurityCodeSignatureValidator final : public CodeSignatureValidating {
 public:
  CodeSignatureIdentity validateCode(const std::string& path,
                                     const std::string& requirement) const override;
  CodeSignatureIdentity validateRunningCode(std::int32_t pid,
                                            const std::string& requirement) const override;
};

// The Developer ID requirement for code with this identifier signed by this
// team (Apple-anchored chain, Developer ID markers, the team as the leaf's
// organizational unit).
std::string codeRequirement(std::string_view identifier, std::string_view team);

struct CodeRequirementParts {
  std::string identifier;
  std::string team;
};

// The identifier and team of a requirement of exactly that form; absent for
// any other text.
std::optional<CodeRequirementParts> parseCodeRequirement(std::string_view requirement);

}  // namespace korvelin
