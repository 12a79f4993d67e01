#if defined(__APPLE__)

#include <cerrno>

#include "core/platform/SpawnSupport.h"

namespace korvelin::platform {

int inheritOnlyStandardStreams(SpawnAttributes& attributes, SpawnFileActions&) {
  // Descriptors named by the file actions (0, 1, 2) stay open; all others close.
  short flags = 0;
  int status = posix_spawnattr_getflags(&attributes.value, &flags);
  if (status != 0)
    return status;
  return posix_spawnattr_setflags(&attributes.value, flags | POSIX_SPAWN_CLOEXEC_DEFAULT);
}

// Darwin has no parent-death signal: the guardian's own shutdown paths end its engine there.
int spawnEndingWithParent(const char*, char* const*, char* const*, int, int, int, bool, pid_t&) {
  return ENOTSUP;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
