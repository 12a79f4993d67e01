#if defined(__linux__)

#include "core/platform/SpawnAttributes.h"

namespace korvelin::platform::detail {

int inheritOnlyStandardStreams(posix_spawnattr_t&, posix_spawn_file_actions_t& actions) {
  return posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

}  // namespace korvelin::platform::detail

#endif  // __linux__
