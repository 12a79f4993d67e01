#if defined(__APPLE__)

#include "core/platform/SpawnSupport.h"

namespace korvelin::platform {

int inheritOnlyStandardStreams(SpawnAttributes& attributes, SpawnFileActions&) {
  // Descriptors named by the file actions (0, 1, 2) stay open; all others close.
  short flags = 0;
  int status = posix_spawnattr_getflags(&attributes.value, &flags);
  if (status != 0) return status;
  return posix_spawnattr_setflags(&attributes.value, flags | POSIX_SPAWN_CLOEXEC_DEFAULT);
}

}  // namespace korvelin::platform

#endif  // __APPLE__
