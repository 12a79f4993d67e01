#include "core/profile/ProfileConfigurationFile.h"

#include <unistd.h>

#include "core/apps/ManagedApplicationSupport.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"

namespace korvelin {
namespace {

const ErrorFactory kUnsafe = &KorvelinCoreError::unsafeProfilePath;

bool runs(const AppProfile& profile, std::string_view adapter) {
  return profile.adapterIdentifier == adapter &&
         ManagedApplicationSupport::isSupportedPair(adapter, profile.application.bundleIdentifier);
}

// Codex creates its home itself, so it is checked here rather than by the
// profile's own tree: the user's, no link on the way, nobody else may write.
void requireCodexHome(const std::string& home) {
  SecureFileSystem::requireDirectory(home, {}, kUnsafe);
}

}  // namespace

std::string ProfileConfigurationFile::validatedURL(const AppProfile& profile,
                                                   const ProfilePaths& paths,
                                                   const ProfilePreparer& preparer) {
  preparer.validateBase(paths.baseDirectory());
  SecureFileSystem::validateManagedHierarchy(paths);

  std::string file;
  if (runs(profile, ManagedApplicationSupport::codexAdapterIdentifier)) {
    requireCodexHome(paths.codexHome());
    file = appendingPathComponent(paths.codexHome(), "config.toml");
  } else if (runs(profile, ManagedApplicationSupport::claudeAdapterIdentifier)) {
    file = appendingPathComponent(paths.userData(), "claude_desktop_config.json");
  } else {
    throw KorvelinCoreError::profileConfigurationUnavailable(
        "unsupported adapter or bundle identity");
  }

  SecureFileSystem::requireNoSymlinkComponents(file, kUnsafe);
  const auto found = SecureFileSystem::metadata(file);
  if (!found)
    throw KorvelinCoreError::profileConfigurationNotFound(file);
  if (found->kind() != FileMetadata::Kind::regularFile)
    throw KorvelinCoreError::unsafeProfilePath("configuration is not a regular file: " + file);
  if (found->info.st_uid != ::geteuid())
    throw KorvelinCoreError::unsafeProfilePath("configuration is owned by uid " +
                                               std::to_string(found->info.st_uid) + ": " + file);
  if (found->permissions() & 0022)
    throw KorvelinCoreError::unsafeProfilePath("configuration is writable by group or others: " +
                                               file);
  return fileURLString(file, false);
}

}  // namespace korvelin
