#include "core/files/TreeRemoval.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "core/files/DirectoryListing.h"
#include "core/platform/Eintr.h"
#include "core/platform/ScopedFD.h"

namespace korvelin {

using platform::retryOnEintr;
using platform::ScopedFD;

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Deep enough for any application's data; a deeper tree is refused rather
// than exhausting the stack or the descriptor table.
constexpr int kMaximumDepth = 256;

// Opens a child directory, first giving the owner full access when the
// directory's mode keeps the owner out. Refuses anything but a directory.
ScopedFD openForRemoval(int parentFD, const std::string& name) {
  ScopedFD fd(retryOnEintr([&] { return ::openat(parentFD, name.c_str(), kDirectoryFlags); }));
  if (!fd && errno == EACCES) {
    if (::fchmodat(parentFD, name.c_str(), 0700, AT_SYMLINK_NOFOLLOW) != 0)
      return ScopedFD();
    fd.reset(retryOnEintr([&] { return ::openat(parentFD, name.c_str(), kDirectoryFlags); }));
  }
  if (!fd)
    return fd;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0)
    return ScopedFD();
  if ((info.st_mode & 0700) != 0700 && ::fchmod(fd.get(), (info.st_mode & 07777) | 0700) != 0)
    return ScopedFD();
  return fd;
}

int removeContents(int directoryFD, const std::string& path, int depth, std::string& failedPath) {
  if (depth > kMaximumDepth) {
    failedPath = path;
    return ELOOP;
  }
  // The listing is read completely before anything is removed, so that
  // removals never disturb the directory stream.
  const auto names = entryNames(directoryFD);
  if (!names) {
    failedPath = path;
    return errno;
  }
  std::vector<std::pair<std::string, bool>> entries;
  for (const auto& name : *names) {
    struct stat info {};
    if (::fstatat(directoryFD, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      failedPath = path + "/" + name;
      return errno;
    }
    entries.emplace_back(name, S_ISDIR(info.st_mode));
  }
  for (const auto& [name, isDirectory] : entries) {
    const std::string childPath = path + "/" + name;
    if (isDirectory) {
      ScopedFD child = openForRemoval(directoryFD, name);
      if (!child) {
        failedPath = childPath;
        return errno;
      }
      if (int error = removeContents(child.get(), childPath, depth + 1, failedPath))
        return error;
    }
    if (::unlinkat(directoryFD, name.c_str(), isDirectory ? AT_REMOVEDIR : 0) != 0) {
      failedPath = childPath;
      return errno;
    }
  }
  return 0;
}

}  // namespace

int removeDirectoryTree(int parentFD, std::string_view name, std::string& failedPath) {
  const std::string entry(name);
  ScopedFD fd = openForRemoval(parentFD, entry);
  if (!fd) {
    failedPath = entry;
    return errno;
  }
  if (int error = removeContents(fd.get(), entry, 0, failedPath))
    return error;
  fd.reset();
  if (::unlinkat(parentFD, entry.c_str(), AT_REMOVEDIR) != 0) {
    failedPath = entry;
    return errno;
  }
  return 0;
}

}  // namespace korvelin
