#include "core/files/DirectoryListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "core/platform/Eintr.h"

namespace korvelin {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

std::optional<std::vector<std::string>> entryNames(int directory) {
  const int copy = platform::retryOnEintr([&] { return ::fcntl(directory, F_DUPFD_CLOEXEC, 0); });
  if (copy < 0)
    return std::nullopt;
  std::unique_ptr<DIR, DirCloser> listing(::fdopendir(copy));
  if (!listing) {
    const int error = errno;
    ::close(copy);
    errno = error;
    return std::nullopt;
  }
  // The copy shares its offset with `directory`.
  ::rewinddir(listing.get());
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..")
      names.emplace_back(name);
    errno = 0;
  }
  if (errno != 0)
    return std::nullopt;
  return names;
}

}  // namespace korvelin
