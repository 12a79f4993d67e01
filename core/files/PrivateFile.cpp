#include "core/files/PrivateFile.h"

#include <unistd.h>

#include <cerrno>

#include "core/files/FileSystemSecurity.h"
#include "core/platform/Acl.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"

namespace korvelin {

using platform::retryOnEintr;
using platform::ScopedFD;

namespace {

bool isValidName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

ScopedFD PrivateFile::open(int directory, std::string_view name, int access) {
  const std::string terminated(name);
  return ScopedFD(
      retryOnEintr([&] { return ::openat(directory, terminated.c_str(), access | kOpenFlags); }));
}

namespace {

// Gives a file this call created mode 0600 and no ACL entry, and verifies
// it; on failure the file is closed and its name removed again.
ScopedFD finishCreated(ScopedFD fd,
                       int directory,
                       const std::string& name,
                       const std::string& displayName,
                       const ErrorFactory& error) {
  try {
    SecureFileSystem::clearExtendedACL(fd.get(), displayName, error);
    if (retryOnEintr([&] { return ::fchmod(fd.get(), PrivateFile::kMode); }) != 0)
      throw error.failed(errno, "fchmod", displayName);
    PrivateFile::verify(fd.get(), displayName, error);
  } catch (...) {
    fd.reset();
    ::unlinkat(directory, name.c_str(), 0);
    throw;
  }
  return fd;
}

ScopedFD createAt(int directory, const std::string& name, int access) {
  return ScopedFD(retryOnEintr([&] {
    return ::openat(directory, name.c_str(), access | O_CREAT | O_EXCL | PrivateFile::kOpenFlags,
                    PrivateFile::kMode);
  }));
}

}  // namespace

ScopedFD PrivateFile::createExclusive(int directory,
                                      std::string_view name,
                                      int access,
                                      const std::string& displayName,
                                      const ErrorFactory& error) {
  if (!isValidName(name))
    throw error("invalid managed filename: " + std::string(name));
  const std::string terminated(name);
  ScopedFD fd = createAt(directory, terminated, access);
  if (!fd)
    throw error.failed(errno, "create", displayName);
  return finishCreated(std::move(fd), directory, terminated, displayName, error);
}

ScopedFD PrivateFile::openOrCreate(int directory,
                                   std::string_view name,
                                   int access,
                                   const std::string& displayName,
                                   const ErrorFactory& error,
                                   bool& created) {
  if (!isValidName(name))
    throw error("invalid managed filename: " + std::string(name));
  // The file exists on every use but the first, so the plain open comes
  // first; a racing creator's EEXIST just leads to the open again.
  created = false;
  ScopedFD fd = open(directory, name, access);
  if (fd || errno != ENOENT)
    return fd;
  const std::string terminated(name);
  fd = createAt(directory, terminated, access);
  if (fd) {
    created = true;
    return finishCreated(std::move(fd), directory, terminated, displayName, error);
  }
  if (errno == EEXIST)
    fd = open(directory, name, access);
  return fd;
}

struct stat PrivateFile::verify(int fd,
                                const std::string& displayName,
                                const ErrorFactory& error,
                                const PrivateFileRules& rules) {
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    throw error.failed(errno, "fstat", displayName);
  const auto refuse = [&](const std::string& detail) {
    return error(rules.refusalDetail.value_or(detail));
  };
  const std::string noun(rules.noun);
  if (!S_ISREG(info.st_mode))
    throw refuse(noun + " is not a regular file: " + displayName);
  if (info.st_uid != ::geteuid())
    throw refuse(noun + " is owned by uid " + std::to_string(info.st_uid) + ": " + displayName);
  if ((info.st_mode & 07777) != kMode)
    throw refuse(SecureFileSystem::expectedModeDetail(kMode, info.st_mode & 07777, displayName));
  if (info.st_nlink != 1)
    throw refuse(noun + " has " + std::to_string(info.st_nlink) + " links: " + displayName);
  if (rules.sizes && (info.st_size < rules.sizes->first || info.st_size > rules.sizes->second)) {
    const std::string expected =
        rules.sizes->first == rules.sizes->second
            ? std::to_string(rules.sizes->first)
            : std::to_string(rules.sizes->first) + "..." + std::to_string(rules.sizes->second);
    throw refuse(noun + " holds " + std::to_string(info.st_size) + " bytes, not " + expected +
                 ": " + displayName);
  }
  const platform::AclReading acl = platform::readExtendedAcl(fd, false);
  if (acl.state == platform::AclState::inspectionFailed)
    throw rules.aclUnreadable.value_or(error).failed(acl.error, "ACL inspection", displayName);
  if (acl.state != platform::AclState::none)
    throw error("extended ACL is not allowed: " + displayName);
  return info;
}

void PrivateFile::requireStillNamed(int directory,
                                    std::string_view name,
                                    const struct stat& opened,
                                    const ErrorFactory& error) {
  const std::string terminated(name);
  struct stat named {};
  if (::fstatat(directory, terminated.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
    throw error.failed(errno, "fstatat", terminated);
  if (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)
    throw error("no longer the opened file: " + terminated);
}

}  // namespace korvelin
