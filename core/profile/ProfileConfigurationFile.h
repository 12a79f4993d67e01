#pragma once

// Where a profile's application keeps its own configuration file, handed out
// only once the file is proven safe to open: Codex's "config.toml" in the
// profile's Codex home, Claude desktop's "claude_desktop_config.json" in its
// user-data directory. The caller opens the file itself; nothing here
// changes anything on disk.

#include <string>

#include "core/profile/AppProfile.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

struct ProfileConfigurationFile {
  // The file's "file://" URL. Throws `profileConfigurationUnavailable` for an
  // application without such a file, `profileConfigurationNotFound` when it
  // does not exist yet, and `unsafeProfileBase` / `unsafeProfilePath` when
  // the base, the profile's tree, the Codex home or the file is unsafe (a
  // symbolic link anywhere on the way, another owner, writable by group or
  // others, not a regular file).
  static std::string validatedURL(const AppProfile& profile,
                                  const ProfilePaths& paths,
                                  const ProfilePreparer& preparer);
};

}  // namespace korvelin
