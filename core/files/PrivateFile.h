#pragma once

// The files the library keeps for itself (leases, locks, journals, logs, the
// proxy record) are private regular files of the effective user. Every path
// that creates, reads or writes one applies the same rules, here, so that no
// file is accepted by one path and refused by another.

#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/CoreError.h"
#include "core/platform/ScopedFD.h"

namespace korvelin {

// What `PrivateFile::verify` asks beyond the rules every private file obeys.
struct PrivateFileRules {
  // What the file is called in messages: "<noun> is not a regular file: <name>".
  std::string_view noun = "file";
  // The inclusive range of sizes the file may have; any size when absent.
  std::optional<std::pair<off_t, off_t>> sizes;
  // One detail for every failed type, owner, mode, link or size check, in
  // place of the specific one (a format that fixes its own text).
  std::optional<std::string> refusalDetail;
  // The error for an ACL that cannot be inspected; the caller's when absent.
  std::optional<ErrorFactory> aclUnreadable;
};

// Opens or creates private files relative to a verified directory, and checks
// what it opened. Messages name `displayName` (a file name or a path).
class PrivateFile {
 public:
  PrivateFile() = delete;

  static constexpr mode_t kMode = 0600;
  // Never follows a final link; O_NONBLOCK keeps an open from waiting on a
  // FIFO put in a file's place and changes nothing for regular files.
  static constexpr int kOpenFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

  // Creates `name` in `directory`; the name must not exist yet. The new file
  // gets mode 0600 and no ACL entry and is then verified like any other. After
  // any failure past the create, the file is closed and unlinked again.
  // `access` is O_WRONLY or O_RDWR.
  static platform::ScopedFD createExclusive(int directory,
                                            std::string_view name,
                                            int access,
                                            const std::string& displayName,
                                            const ErrorFactory& error);

  // Opens `name` in `directory`, creating it (as `createExclusive` does) when
  // it is missing. An existing file is only opened; `created` says which. The
  // caller verifies what it got with `verify`. A failed open gives an invalid
  // descriptor with errno set, for the caller's own message; a failure in
  // finishing a created file throws.
  static platform::ScopedFD openOrCreate(int directory,
                                         std::string_view name,
                                         int access,
                                         const std::string& displayName,
                                         const ErrorFactory& error,
                                         bool& created);

  // Opens an existing file (`access` O_RDONLY, O_WRONLY or O_RDWR, possibly
  // with O_APPEND); an invalid descriptor with errno set when it cannot.
  static platform::ScopedFD open(int directory, std::string_view name, int access);

  // Throws unless the open file is a regular file of the effective user with
  // permission bits exactly 0600, exactly one link, no extended ACL entry and
  // the size the rules ask for. Returns its metadata.
  static struct stat verify(int fd,
                            const std::string& displayName,
                            const ErrorFactory& error,
                            const PrivateFileRules& rules = {});

  // Throws unless `name` in `directory` still names the opened file.
  static void requireStillNamed(int directory,
                                std::string_view name,
                                const struct stat& opened,
                                const ErrorFactory& error);
};

}  // namespace korvelin
