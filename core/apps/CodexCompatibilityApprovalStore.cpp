#include "core/apps/CodexCompatibilityApprovalStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <nlohmann/json.hpp>

#include "core/apps/ManagedApplicationSupport.h"
#include "core/base/Iso8601Date.h"
#include "core/base/JsonSupport.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/files/PrivateFile.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"

namespace korvelin {

namespace {

using nlohmann::json;
using platform::retryOnEintr;
using platform::ScopedFD;

const ErrorFactory kError = &KorvelinCoreError::compatibilityApprovalFailed;

constexpr std::string_view kCodexBundleIdentifier = "com.openai.codex";
constexpr std::string_view kCodexTeamIdentifier = "2DC432GLL2";
static_assert(ManagedApplicationSupport::applications[0].bundleIdentifier ==
                  kCodexBundleIdentifier &&
              ManagedApplicationSupport::applications[0].teamIdentifier == kCodexTeamIdentifier);

std::string withErrno(std::string_view what, const std::string& path, int errnum) {
  return std::string(what) + " " + path + ": " + platform::errorText(errnum);
}

// The base, checked like every base (the user's, no link, closed to group
// and others); absent when it does not exist.
std::optional<ScopedFD> openBase(const std::string& base) {
  if (!SecureFileSystem::metadata(base))
    return std::nullopt;
  return SecureFileSystem::openDirectoryFD(base, {}, &KorvelinCoreError::unsafeProfileBase);
}

CodexCompatibilityApproval decodeApproval(const json& object) {
  jsonio::requireExactKeys(object,
                           {"approvedAt", "buildVersion", "bundleIdentifier", "codeDirectoryHash",
                            "marketingVersion", "signingTeamIdentifier"});
  CodexCompatibilityApproval approval;
  approval.bundleIdentifier = jsonio::requireString(object, "bundleIdentifier");
  approval.marketingVersion = jsonio::requireString(object, "marketingVersion");
  approval.buildVersion = jsonio::requireString(object, "buildVersion");
  approval.signingTeamIdentifier = jsonio::requireString(object, "signingTeamIdentifier");
  approval.codeDirectoryHash = jsonio::requireString(object, "codeDirectoryHash");
  const auto date = parseIso8601(jsonio::requireString(object, "approvedAt"));
  if (!date)
    throw jsonio::ShapeError("\"approvedAt\" is not an ISO 8601 date");
  approval.approvedAt = *date;
  return approval;
}

// The approvals in the file of an open base; none when there is no file.
std::vector<CodexCompatibilityApproval> readApprovals(int base, const std::string& path) {
  const std::string name(CodexCompatibilityApprovalStore::kFileName);
  ScopedFD fd = PrivateFile::open(base, name, O_RDONLY);
  if (!fd && errno == ENOENT)
    return {};
  if (!fd)
    throw kError(withErrno("could not open approval file", path, errno));
  PrivateFile::verify(
      fd.get(), path, kError,
      {.sizes = std::pair<off_t, off_t>(0, CodexCompatibilityApprovalStore::kMaximumBytes),
       .refusalDetail = "approval file failed owner, type, mode, or size validation"});
  const auto bytes =
      platform::readAllBounded(fd.get(), CodexCompatibilityApprovalStore::kMaximumBytes);
  if (!bytes)
    throw kError("could not read approval file " + path + " (unreadable or too large)");
  return decodeCodexCompatibilityApprovals(*bytes);
}

// Replaces the file: a private temporary file, written, synced and renamed
// over it, then the base synced. A failed sync of the base after the rename
// leaves the new file in place and is not reported.
void writeApprovals(int base, const std::string& path, std::string_view bytes) {
  const std::string name(CodexCompatibilityApprovalStore::kFileName);
  const std::string temporary = ".codex-compatibility." + Uuid::random().lowercaseString() + ".tmp";
  ScopedFD fd = PrivateFile::createExclusive(base, temporary, O_WRONLY, temporary, kError);
  int failure = 0;
  if (!platform::writeFull(fd.get(), bytes) ||
      retryOnEintr([&] { return ::fsync(fd.get()); }) != 0 ||
      ::renameat(base, temporary.c_str(), base, name.c_str()) != 0)
    failure = errno;
  fd.reset();
  if (failure != 0) {
    ::unlinkat(base, temporary.c_str(), 0);
    throw kError(withErrno("could not write approval file", path, failure));
  }
  ::fsync(base);

  // Whatever now carries the name is made private again before it is
  // trusted, then read back through the same checks as every load.
  ScopedFD written = PrivateFile::open(base, name, O_RDWR);
  if (!written)
    throw kError(withErrno("could not reopen approval file", path, errno));
  SecureFileSystem::clearExtendedACL(written.get(), path, kError);
  if (retryOnEintr([&] { return ::fchmod(written.get(), PrivateFile::kMode); }) != 0)
    throw kError(withErrno("could not set approval file mode", path, errno));
}

}  // namespace

std::vector<CodexCompatibilityApproval> decodeCodexCompatibilityApprovals(std::string_view bytes) {
  return jsonio::decode(bytes, kError, "invalid approval file", [](const json& document) {
    // The version decides how the rest reads, so it is judged first.
    if (document.is_object() && document.contains("schemaVersion") &&
        document.at("schemaVersion") != json(1))
      throw KorvelinCoreError::compatibilityApprovalFailed("unsupported approval schema");
    jsonio::requireExactKeys(document, {"approvals", "schemaVersion"});
    const auto& list = document.at("approvals");
    if (!list.is_array())
      throw jsonio::ShapeError("\"approvals\" is not an array");
    std::vector<CodexCompatibilityApproval> approvals;
    for (const auto& entry : list)
      approvals.push_back(decodeApproval(entry));
    return approvals;
  });
}

void to_json(nlohmann::json& object, const CodexCompatibilityApproval& approval) {
  object = {{"approvedAt", iso8601String(approval.approvedAt)},
            {"buildVersion", approval.buildVersion},
            {"bundleIdentifier", approval.bundleIdentifier},
            {"codeDirectoryHash", approval.codeDirectoryHash},
            {"marketingVersion", approval.marketingVersion},
            {"signingTeamIdentifier", approval.signingTeamIdentifier}};
}

std::string encodeCodexCompatibilityApprovals(
    const std::vector<CodexCompatibilityApproval>& approvals) {
  return json{{"approvals", approvals}, {"schemaVersion", 1}}.dump(2) + "\n";
}

CodexCompatibilityApproval::CodexCompatibilityApproval(const CodexInstallation& installation,
                                                       std::chrono::sys_seconds approvedAt)
    : bundleIdentifier(installation.bundleIdentifier),
      marketingVersion(installation.marketingVersion),
      buildVersion(installation.buildVersion),
      signingTeamIdentifier(installation.signingTeamIdentifier),
      codeDirectoryHash(installation.codeDirectoryHash),
      approvedAt(approvedAt) {}

bool CodexCompatibilityApproval::matches(const CodexInstallation& installation) const {
  return bundleIdentifier == installation.bundleIdentifier &&
         marketingVersion == installation.marketingVersion &&
         buildVersion == installation.buildVersion &&
         signingTeamIdentifier == installation.signingTeamIdentifier &&
         codeDirectoryHash == installation.codeDirectoryHash;
}

CodexCompatibilityApprovalStore::CodexCompatibilityApprovalStore(std::string_view baseDirectory,
                                                                 ProfilePreparer preparer,
                                                                 Clock now)
    : base_(standardizedPath(baseDirectory)),
      preparer_(std::move(preparer)),
      now_(now ? std::move(now) : Clock(&std::chrono::system_clock::now)) {}

std::vector<CodexCompatibilityApproval> CodexCompatibilityApprovalStore::load() const {
  const auto base = openBase(base_);
  if (!base)
    return {};
  return readApprovals(base->get(), appendingPathComponent(base_, kFileName));
}

bool CodexCompatibilityApprovalStore::isApproved(const CodexInstallation& installation) const {
  const auto approvals = load();
  return std::any_of(approvals.begin(), approvals.end(),
                     [&](const auto& approval) { return approval.matches(installation); });
}

void CodexCompatibilityApprovalStore::approve(const CodexInstallation& installation) const {
  if (installation.bundleIdentifier != kCodexBundleIdentifier ||
      installation.signingTeamIdentifier != kCodexTeamIdentifier)
    throw KorvelinCoreError::untrustedCodeSignature("approval identity is not Codex");
  if (base_ == preparer_.defaultBaseDirectory)
    preparer_.prepareBase(base_);
  const auto base = openBase(base_);
  if (!base)
    throw KorvelinCoreError::unsafeProfileBase("custom base must already exist: " + base_);
  const std::string path = appendingPathComponent(base_, kFileName);

  auto approvals = readApprovals(base->get(), path);
  std::erase_if(approvals, [&](const auto& approval) { return approval.matches(installation); });
  approvals.emplace_back(installation, std::chrono::floor<std::chrono::seconds>(now_()));
  const std::string bytes = encodeCodexCompatibilityApprovals(approvals);
  // A file past the limit could never be read again: refuse before writing.
  if (bytes.size() > kMaximumBytes)
    throw kError("approval file is too large");
  writeApprovals(base->get(), path, bytes);
  readApprovals(base->get(), path);
}

}  // namespace korvelin
