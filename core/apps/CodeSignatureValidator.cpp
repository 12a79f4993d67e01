#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/apps/BundleInspector.h"
#include "core/apps/CodeSignatureValidating.h"
#include "core/apps/InfoPlist.h"
#include "core/base/CoreError.h"
#include "core/base/HexCoding.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/CodeSigning.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ProcessInfo.h"
#include "core/platform/ScopedFD.h"
#include "core/platform/Sha256.h"

namespace korvelin {

namespace {

[[noreturn]] void untrusted(const std::string& reason) {
  throw KorvelinCoreError::untrustedCodeSignature(reason);
}

[[noreturn]] void notSigned(const std::string& reason) {
  untrusted("not signed: " + reason);
}

CodeSignatureIdentity identityOf(const platform::SignatureCheck& check) {
  if (!check.code)
    untrusted(check.failure);
  return {check.code->team, hexEncoded(check.code->codeDirectoryHash)};
}

// Where nothing is signed, the code stands for itself: it must sit where only
// root or this user could have written it, and its bytes are hashed so that
// the launch can prove the process runs exactly what was inspected.

CodeRequirementParts requirementParts(const std::string& requirement) {
  auto parts = parseCodeRequirement(requirement);
  if (!parts)
    notSigned("unsupported code requirement");
  return std::move(*parts);
}

// SHA-256 over everything `fd` holds, read a megabyte at a time.
std::string contentHash(int fd, const std::string& path) {
  platform::Sha256Stream stream;
  std::vector<unsigned char> buffer(1 << 20);
  for (long long offset = 0;;) {
    const long count = platform::retryOnEintr(
        [&] { return static_cast<long>(::pread(fd, buffer.data(), buffer.size(), offset)); });
    if (count < 0)
      notSigned(failureDetail(errno, "read", path));
    if (count == 0)
      break;
    stream.update(buffer.data(), static_cast<std::size_t>(count));
    offset += count;
  }
  const platform::Sha256Digest digest = stream.finish();
  return hexEncoded({reinterpret_cast<const char*>(digest.data()), digest.size()});
}

// The code at `path` (already open as `fd`) must be installed where no one
// else could have changed it, and `path` must still name the opened file.
std::string trustedContentHash(int fd, const std::string& path) {
  if (auto problem = SecureFileSystem::installationProblem(path))
    notSigned(*problem);
  struct stat opened {};
  struct stat named {};
  if (::fstat(fd, &opened) != 0 || ::lstat(path.c_str(), &named) != 0 || !S_ISREG(opened.st_mode) ||
      opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
    notSigned("the executable was replaced: " + path);
  return contentHash(fd, path);
}

}  // namespace

CodeSignatureIdentity SecurityCodeSignatureValidator::validateCode(
    const std::string& path,
    const std::string& requirement) const {
  if (platform::systemSignsCode())
    return identityOf(platform::checkCodeSignature(path, requirement));
  const CodeRequirementParts parts = requirementParts(requirement);
  std::string executable = standardizedPath(path);
  struct stat info {};
  if (::lstat(executable.c_str(), &info) != 0)
    notSigned(failureDetail(errno, "lstat", path));
  if (S_ISDIR(info.st_mode)) {
    const InfoPlist plist = InfoPlist::read(executable + "/Contents/Info.plist");
    if (plist.string("CFBundleIdentifier") != parts.identifier)
      notSigned("the bundle identifier does not meet the code requirement");
    executable = BundleInspector::mainExecutable(executable, plist).first;
  }
  platform::ScopedFD fd(platform::retryOnEintr(
      [&] { return ::open(executable.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
  if (!fd)
    notSigned(failureDetail(errno, "open", executable));
  return {parts.team, trustedContentHash(fd.get(), executable)};
}

CodeSignatureIdentity SecurityCodeSignatureValidator::validateRunningCode(
    std::int32_t pid,
    const std::string& requirement) const {
  if (platform::systemSignsCode())
    return identityOf(platform::checkRunningCodeSignature(pid, requirement));
  const CodeRequirementParts parts = requirementParts(requirement);
  platform::ScopedFD fd(platform::openExecutable(pid));
  const auto path = platform::executablePath(pid);
  if (!fd || !path)
    notSigned("cannot read the executable of process " + std::to_string(pid));
  return {parts.team, trustedContentHash(fd.get(), *path)};
}

}  // namespace korvelin
