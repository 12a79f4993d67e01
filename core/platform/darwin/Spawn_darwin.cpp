#if defined(__APPLE__)

#include "core/platform/SpawnAttributes.h"

namespace korvelin::platform::detail {

int inheritOnlyStandardStreams(posix_spawnattr_t& attributes, posix_spawn_file_actions_t&) {
  // Descriptors named by the file actions (0, 1, 2) stay open; all others close.
  short flags = 0;
  int status = posix_spawnattr_getflags(&attributes, &flags);
  if (status != 0) return status;
  return posix_spawnattr_setflags(&attributes, flags | POSIX_SPAWN_CLOEXEC_DEFAULT);
}

}  // namespace korvelin::platform::detail

#endif  // __APPLE__
