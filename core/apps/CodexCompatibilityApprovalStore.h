#pragma once

// Codex versions the user had checked on this machine. Only two version pairs
// of Codex are known to keep to a profile's directories; any other one may be
// launched once the compatibility probe saw it do so, and this store keeps
// the record of exactly which installation was seen:
//
//   <base>/codex-compatibility.json
//   {"approvals": [{"approvedAt", "buildVersion", "bundleIdentifier",
//                   "codeDirectoryHash", "marketingVersion",
//                   "signingTeamIdentifier"}...], "schemaVersion": 1}
//
// The file is a private regular file (the user's, 0600, one link, no ACL
// entry) of at most 256 KiB, replaced atomically. A file that breaks any rule
// is refused, never repaired: nothing in it counts as approved.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/apps/CodexInstallation.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

struct CodexCompatibilityApproval {
  std::string bundleIdentifier;
  std::string marketingVersion;
  std::string buildVersion;
  std::string signingTeamIdentifier;
  std::string codeDirectoryHash;
  std::chrono::sys_seconds approvedAt{};

  CodexCompatibilityApproval() = default;
  CodexCompatibilityApproval(const CodexInstallation& installation,
                             std::chrono::sys_seconds approvedAt);

  // The same bundle, versions, team and code hash as the installation.
  bool matches(const CodexInstallation& installation) const;

  bool operator==(const CodexCompatibilityApproval&) const = default;
};

// One approval as the file keeps it (the date as ISO 8601 text).
void to_json(nlohmann::json& object, const CodexCompatibilityApproval& approval);

// The file's document: decoding refuses anything but schema 1 with exactly
// its keys (`compatibilityApprovalFailed`); encoding is pretty-printed with
// sorted keys.
std::vector<CodexCompatibilityApproval> decodeCodexCompatibilityApprovals(std::string_view bytes);
std::string encodeCodexCompatibilityApprovals(
    const std::vector<CodexCompatibilityApproval>& approvals);

class CodexCompatibilityApprovalStore {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  static constexpr std::string_view kFileName = "codex-compatibility.json";
  static constexpr std::size_t kMaximumBytes = 262144;

  // `preparer` knows the managed (default) base, the only one ever created.
  CodexCompatibilityApprovalStore(std::string_view baseDirectory,
                                  ProfilePreparer preparer,
                                  Clock now = nullptr);

  const std::string& baseDirectory() const { return base_; }
  const ProfilePreparer& preparer() const { return preparer_; }

  // The stored approvals in file order; none when the base or the file does
  // not exist. Every problem is `compatibilityApprovalFailed` (the base's own
  // checks excepted).
  std::vector<CodexCompatibilityApproval> load() const;
  bool isApproved(const CodexInstallation& installation) const;
  // Records (or renews) the approval of a Codex installation. Anything but
  // Codex signed by its vendor is `untrustedCodeSignature`.
  void approve(const CodexInstallation& installation) const;

  bool operator==(const CodexCompatibilityApprovalStore& other) const {
    return base_ == other.base_ && preparer_ == other.preparer_;
  }

 private:
  std::string base_;
  ProfilePreparer preparer_;
  Clock now_;
};

}  // namespace korvelin
